// Writes seeds for viewer_control_fuzz into the folder given: the hostile-peer tests' scripts, cut to what
// fits a fuzz input, framed as framed_messages.h reads them.

#include <cstdio>
#include <string>
#include <vector>

#include "framed_messages.h"
#include "support/hostile_scripts.h"

int main(int argc, char** argv) {
  using namespace pellora;
  namespace hostile = test::hostile;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  std::vector<Message> control{Message::HostInfo{PeerOS::macOS, 2, "Masa"},
                               Message::FeaturesMsg{Features{Features::all}},
                               Message::DisplayList{{{1, 1920, 1080, true, "Ekran"}}}, Message::Ping{1},
                               Message::TargetBitrate{8000}, Message::Bye{"Görüşürüz"}};
  const bool ok = fuzz::writeFramed(folder + "/seed-control", control) &&
                  fuzz::writeFramed(folder + "/seed-chat", hostile::chatFlood(8, 2000)) &&
                  fuzz::writeFramed(folder + "/seed-cancels", hostile::unknownCancels(64, 0)) &&
                  fuzz::writeFramed(folder + "/seed-regions", hostile::oversizedRegions(4, 200)) &&
                  fuzz::writeFramed(folder + "/seed-audio", hostile::audioConfigs()) &&
                  fuzz::writeFramed(folder + "/seed-offers", {Message::FileOffer{1, "a", 0}, Message::FileDone{1, Bytes(32, 0)},
                                                              Message::FileChunk{3, 0, Bytes(4, 1)}});
  if (!ok) std::fprintf(stderr, "%s: could not write the seeds\n", argv[0]);
  return ok ? 0 : 1;
}
