// Builders shared by the tests live beside this file.
