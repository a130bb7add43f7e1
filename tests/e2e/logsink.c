// What a shell cannot do: "dorq_logsink SOCKET FILE" is the system log of
// the sandbox. It binds a datagram socket at SOCKET (mode 0666), says
// "ready" on standard output, and appends every message it receives, with a
// newline, to FILE, until it is killed.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: dorq_logsink SOCKET FILE\n");
    return 2;
  }
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (sock < 0 || out < 0 || bind(sock, (struct sockaddr*)&address, sizeof address) != 0 ||
      chmod(argv[1], 0666) != 0) {
    perror("dorq_logsink");
    return 1;
  }
  puts("ready");
  fflush(stdout);
  char message[16384];
  for (;;) {
    const ssize_t length = recv(sock, message, sizeof message - 1, 0);
    if (length >= 0) {
      message[length] = '\n';
      (void)!write(out, message, (size_t)length + 1);
    }
  }
}
