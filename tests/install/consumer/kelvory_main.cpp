// Links only norvan::kelvory: the set-up without a configuration takes the project
// configuration of norvan::noxconfig, which the library must bring along by itself.
#include <norvan/binary_image/kelvory.hpp>

#include <iostream>

namespace {

namespace bi = norvan::binary_image;

// Refuses to change directory, so that the set-up stops before it touches anything.
class RefusingSession : public bi::nox::Session {
 public:
  struct Refused {
    std::filesystem::path path;
  };
  void chdir(const std::filesystem::path& path) override { throw Refused{path}; }
  void error(int) override {}
};

}  // namespace

int main() {
  RefusingSession session;
  try {
    bi::kelvory::hatch_project_setup(session, [] {});
  } catch (const RefusingSession::Refused& refused) {
    std::cout << "kelvory: project root " << refused.path.string() << "\n";
    return 0;
  }
  return 1;
}
