#include <string_view>

#include "production/record_server.h"
#include "ui/app.h"

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // The production page's recorder (production/record_server.h): this
  // program again, serving the record on its pipes, before anything of the
  // toolkit exists.
  if (argc >= 2 && std::string_view(argv[1]) == velkan::production::kRecordServerArgument) {
    return velkan::production::RecordServerMain();
  }
#endif
  return theApp.InitInstance(argc, argv);
}
