// Entry point of the orvelle executable (command line in cli_options).
int main() { return 0; }
