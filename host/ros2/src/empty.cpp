// Keeps each host library non-empty while its sources are being written.
