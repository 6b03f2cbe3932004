// main.cpp -- the node's entry point; command-line arguments are ignored.
#include "node/startup.h"

int main() { return runNode(); }
