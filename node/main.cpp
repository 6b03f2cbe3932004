// main.cpp -- the node's entry point.
int main() { return 1; }
