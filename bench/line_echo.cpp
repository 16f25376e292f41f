// The floor for throughput: read a line, write it back, flush. Nothing else.
#include <cstdio>

int main() {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, stdin)) > 0) {
    fwrite(line, 1, static_cast<size_t>(length), stdout);
    fflush(stdout);
  }
  return 0;
}
