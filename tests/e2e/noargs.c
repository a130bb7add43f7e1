// What a shell cannot do: "dorq_noargs PROGRAM [ENTRY...]" executes PROGRAM with an empty argument
// vector and the ENTRYs as its whole environment. Started so itself (the kernel may pass one empty
// string instead), it prints its argument count and first argument.
#include <stdio.h>
#include <unistd.h>
int main(int argc, char** argv) {
  if (argc < 2) {
    printf("argc %d %s\n", argc, argc > 0 ? argv[0] : "");
    return 0;
  }
  execve(argv[1], (char*[]){NULL}, argv + 2);
  perror(argv[1]);
  return 127;
}
