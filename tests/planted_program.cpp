// Stands in for a program planted where a command interpreter would be
// looked for: it leaves planted.ran in its current directory when it runs.
#include <fstream>

int main() { std::ofstream("planted.ran") << "ran\n"; }
