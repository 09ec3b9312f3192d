// A small program for code identity tests, signed and run by them.
//   identity_test_program                    exits at once
//   identity_test_program wait               runs until its standard input ends
//   identity_test_program wait-exec PROGRAM  reads one byte from standard input, then
//                                            becomes `PROGRAM wait` (same input)
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "wait") == 0) {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "wait-exec") == 0) {
    char c;
    if (::read(0, &c, 1) != 1) return 0;
    char wait[] = "wait";
    char* args[] = {argv[2], wait, nullptr};
    ::execv(argv[2], args);
    return 127;
  }
  return 0;
}
