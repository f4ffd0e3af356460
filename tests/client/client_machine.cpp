// The client test machine.
#include "client_machine.h"

#include <cstdlib>

#include "driver.h"
#include "nbdv.h"

namespace client_test {

ClientMachine::ClientMachine(std::initializer_list<char> letters, nb::testing::Carrier carrier)
    : transport_(std::make_unique<nb::testing::CarriedTransport>(Kernel(), carrier)) {
  EXPECT_TRUE(transport_->Ready());
  std::string pattern = (std::filesystem::temp_directory_path() / "nbclient-XXXXXX").string();
  root_ = mkdtemp(pattern.data());
  for (char letter : letters) {
    std::filesystem::path folder = root_ / std::string(1, letter);
    std::filesystem::create_directory(folder);
    EXPECT_EQ(AddHostVolume(letter, folder.string()), STATUS_SUCCESS);
    folders_[letter] = folder;
    nb::win::MapDrive(static_cast<WCHAR>(letter), folder.string());
  }
}

ClientMachine::~ClientMachine() {
  transport_.reset();
  for (const auto& [letter, folder] : folders_) nb::win::UnmapDrive(static_cast<WCHAR>(letter));
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

NTSTATUS ClientMachine::LoadNbfs() { return LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry); }

NTSTATUS ClientMachine::LoadNbdv() { return LoadDriver(u"\\Driver\\nbdv15", nbdvDriverEntry); }

void ClientMachine::MakeFolder(char letter, const std::string& path) {
  std::string relative = path;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::filesystem::create_directories(Folder(letter) / relative.substr(relative.find_first_not_of('/')));
}

}  // namespace client_test
