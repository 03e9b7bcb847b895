// Keeps the fakes library non-empty while it grows.
int corvane_fakes_version = 1;
