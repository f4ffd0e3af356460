// Writes seed inputs for request_decoder_fuzz into a folder: each sample request as a
// message of its own ("<kind>-<n>"), all of them in a row ("all"), which opens an object
// and then uses, queries and closes it, and the registry's in a row ("registry"), which
// opens a key first, so that the key value the others name is that key.
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
  std::vector<uint8_t> registry;
  int n = 0;
  for (const nb::protocol::Request& request : protocol_samples::SampleRequests()) {
    std::vector<uint8_t> message;
    if (!NT_SUCCESS(nb::protocol::EncodeRequest(request, &message))) return 1;
    std::string name =
        folder + "/" + std::to_string(static_cast<int>(nb::protocol::KindOf(request))) + "-" + std::to_string(n++);
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
    all.insert(all.end(), message.begin(), message.end());
    nb::protocol::Kind kind = nb::protocol::KindOf(request);
    if (kind >= nb::protocol::Kind::kOpenRegistryKey && kind <= nb::protocol::Kind::kEnumerateRegistryValue) {
      registry.insert(registry.end(), message.begin(), message.end());
    }
  }
  for (const auto& [file, bytes] : {std::pair{"/all", &all}, std::pair{"/registry", &registry}}) {
    std::ofstream(folder + file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
  }
  return 0;
}
