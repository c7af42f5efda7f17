// Placeholder entry point; the program grows here.
int main() { return 0; }
