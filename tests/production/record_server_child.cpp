// The recorder for the remote store tests: serves the store on its standard
// input and output. With --pid-file F it first writes its process id to F.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "production/record_server.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--pid-file") == 0) {
    std::FILE* f = std::fopen(argv[2], "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
    std::fclose(f);
  }
  return velkan::production::ServeRecordStore(0, 1);
}
