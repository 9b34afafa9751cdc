#include <cstdio>
int main() { std::puts("tarqsh: the interpreter library is built; the command-line host is not written yet."); return 0; }
