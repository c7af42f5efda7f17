// Placeholder entry point; the converter grows here.
int main() { return 0; }
