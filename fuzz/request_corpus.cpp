// Writes seed inputs for request_decoder_fuzz into a folder: each sample request as a
// message of its own ("<kind>-<n>") and all of them in a row ("all"), which opens an
// object and then uses, queries and closes it.
#include <cstdio>
#include <fstream>
#include <string>

#include "request_samples.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: request_corpus FOLDER\n");
    return 2;
  }
  std::string folder = argv[1];
  std::vector<uint8_t> all;
  int n = 0;
  for (const nb::protocol::Request& request : protocol_samples::SampleRequests()) {
    std::vector<uint8_t> message;
    if (!NT_SUCCESS(nb::protocol::EncodeRequest(request, &message))) return 1;
    std::string name =
        folder + "/" + std::to_string(static_cast<int>(nb::protocol::KindOf(request))) + "-" + std::to_string(n++);
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
    all.insert(all.end(), message.begin(), message.end());
  }
  std::ofstream(folder + "/all", std::ios::binary)
      .write(reinterpret_cast<const char*>(all.data()), static_cast<std::streamsize>(all.size()));
  return 0;
}
