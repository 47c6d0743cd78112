#pragma once

// A peer that wants to fill the download folder: it offers empty files named "a" in rounds and finishes each
// accepted one at once. The hostile-peer tests and the hostile bench play it against real hosts.

#include <functional>
#include <set>

#include "core/crypto.h"
#include "support/scripted_peer.h"

namespace pellora::test {

struct EmptyFileFloodResult {
  int accepted = 0;
  int rejected = 0;
};

// Offers `count` empty files with a viewer's ids, `window` at a time, waiting for the answers of each round
// before the next; `betweenRounds` (if any) runs when a round is answered and nothing else is outstanding.
inline EmptyFileFloodResult floodEmptyFiles(ScriptedPeer& peer, int count, int window,
                                            const std::function<void()>& betweenRounds = nullptr) {
  const Bytes emptyDigest = PelloraCrypto::Sha256().finish();
  EmptyFileFloodResult result;
  std::uint32_t nextID = 2;
  for (int sent = 0; sent < count;) {
    std::set<std::uint32_t> waiting;
    for (int i = 0; i < window && sent < count; ++i, ++sent, nextID += 2) {
      peer.send(Message::FileOffer{nextID, "a", 0});
      waiting.insert(nextID);
    }
    while (!waiting.empty()) {
      const Message m = peer.next();
      if (const auto* accept = m.as<Message::FileAccept>(); accept && waiting.erase(accept->id)) {
        peer.send(Message::FileDone{accept->id, emptyDigest});
        ++result.accepted;
      } else if (const auto* reject = m.as<Message::FileReject>(); reject && waiting.erase(reject->id)) {
        ++result.rejected;
      }
    }
    if (betweenRounds) betweenRounds();
  }
  return result;
}

}  // namespace pellora::test
