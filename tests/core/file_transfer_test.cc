// File transfer end to end over loopback secure channels: ids, naming, refusals, cancels, timeouts,
// back-pressure in both directions, dropped connections and the no-clobber save; names and texts from the
// peer made safe to store and show.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "base/serial_queue.h"
#include "core/crypto.h"
#include "core/file_names.h"
#include "core/file_receiver.h"
#include "core/file_sender.h"
#include "core/peer_text.h"
#include "core/transfer_error.h"
#include "support/json_file.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using test::Loopback;
using Dir = TransferProgress::Direction;
using namespace std::chrono_literals;


// In memory where possible: the 64 MiB transfers need not wait for a shared disk.
struct TempDir : test::TempDir {
  TempDir() : test::TempDir("pellora-files", true) {}
};

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
// A file of `size` zero bytes that takes no disk space.
void sparseFile(const fs::path& path, std::uint64_t size) {
  { std::ofstream(path).flush(); }
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
}
bool hasPartialFile(const fs::path& dir) {
  for (const auto& name : listing(dir)) {
    if (name.ends_with(".part")) return true;
  }
  return false;
}

// Every progress report, from any thread.
struct Recorder {
  std::mutex lock;
  std::vector<TransferProgress> all;
  void add(const TransferProgress& p) {
    std::lock_guard l(lock);
    all.push_back(p);
  }
  std::vector<TransferProgress> of(std::uint32_t id, Dir d) {
    std::lock_guard l(lock);
    std::vector<TransferProgress> out;
    for (const auto& p : all) {
      if (p.id == id && p.direction == d) out.push_back(p);
    }
    return out;
  }
  std::optional<TransferProgress> last(std::uint32_t id, Dir d) {
    auto list = of(id, d);
    if (list.empty()) return std::nullopt;
    return list.back();
  }
  bool finished(std::uint32_t id, Dir d) {
    auto l = last(id, d);
    return l && l->isFinished();
  }
  std::string failure(std::uint32_t id, Dir d) {
    auto l = last(id, d);
    const auto* f = l ? std::get_if<TransferProgress::Failed>(&l->state) : nullptr;
    return f ? f->text : "(not failed)";
  }
  std::optional<fs::path> saved(std::uint32_t id) {
    auto l = last(id, Dir::receiving);
    const auto* d = l ? std::get_if<TransferProgress::Done>(&l->state) : nullptr;
    return d ? d->file : std::nullopt;
  }
};

// One end of a session: its channel, a sender and a receiver, and a receive loop that hands every message
// first to the sender, then to the receiver, as the sessions do.
struct Side {
  std::shared_ptr<SecureChannel> channel;
  std::shared_ptr<FileSender> sender;
  std::shared_ptr<FileReceiver> receiver;
  TempDir inbox;
  Recorder progress;
  std::vector<Message> seen;       // every message received, chunk data left out
  std::vector<Message> unhandled;  // neither object consumed it
  // Sees each message before the objects do; false drops it.
  std::function<bool(Message&)> filter;
  std::shared_ptr<test::Outcome<void>> loop;

  void attach(Loopback& net, bool isHost, FileSender::Executor senderExecutor, FileSender::Duration timeout) {
    sender = FileSender::make(channel, isHost, std::move(senderExecutor), timeout);
    receiver = FileReceiver::make(channel, inbox.path, net.io.get_executor());
    sender->setOnProgress([this](const TransferProgress& p) { progress.add(p); });
    receiver->setOnProgress([this](const TransferProgress& p) { progress.add(p); });
    loop = net.spawn(receiveLoop());
  }

  boost::asio::awaitable<void> receiveLoop() {
    try {
      for (;;) {
        Message m = co_await channel->receive();
        Message record = m;
        if (auto* c = std::get_if<Message::FileChunk>(&record.value)) c->data = Bytes(c->data.size() ? 1 : 0);
        seen.push_back(std::move(record));
        if (filter && !filter(m)) continue;
        if (!sender->handle(m) && !receiver->handle(m)) unhandled.push_back(m);
      }
    } catch (...) {
      receiver->abandonAll();
      sender->abandonAll();
      throw;
    }
  }

  template <typename Case>
  std::vector<Case> seenOf() const {
    std::vector<Case> out;
    for (const auto& m : seen) {
      if (const auto* c = m.as<Case>()) out.push_back(*c);
    }
    return out;
  }
};

// A host (a) and a viewer (b) over one loopback connection; senders run on the test's context unless a
// test gives them threads of their own.
struct Session {
  Loopback net;
  Side a, b;

  explicit Session(FileSender::Duration timeout = FileSender::defaultOfferTimeout, SerialQueue* aQueue = nullptr,
                   SerialQueue* bQueue = nullptr) {
    std::tie(a.channel, b.channel) = net.channelPair();
    a.attach(net, true, aQueue ? FileSender::Executor(aQueue->executor()) : net.io.get_executor(), timeout);
    b.attach(net, false, bQueue ? FileSender::Executor(bQueue->executor()) : net.io.get_executor(), timeout);
  }
  ~Session() {
    a.channel->close(std::nullopt);
    b.channel->close(std::nullopt);
    net.runUntil([&] { return a.loop->done && b.loop->done; });
  }
  void waitFor(Side& side, std::uint32_t id, Dir d) {
    net.runUntil([&] { return side.progress.finished(id, d); });
  }
  // The sender's and the receiver's last reports once both ended.
  void waitBoth(Side& from, Side& to, std::uint32_t id) {
    net.runUntil([&] { return from.progress.finished(id, Dir::sending) && to.progress.finished(id, Dir::receiving); });
  }
};

Message::FileOffer offer(std::uint32_t id, std::string name, std::uint64_t size) { return {id, std::move(name), size}; }
Message accept(std::uint32_t id) { return Message::FileAccept{id}; }
Message reject(std::uint32_t id, const char* reason) { return Message::FileReject{id, reason}; }

// A real receiver on one end of a channel pair; the test plays the sender on the other.
struct ManualPeer {
  Loopback net;
  std::shared_ptr<SecureChannel> peer, channel;
  TempDir inbox;
  Recorder progress;

  ManualPeer() { std::tie(peer, channel) = net.channelPair(); }
  std::shared_ptr<FileReceiver> receiver(const fs::path& dir, FileReceiver::Limits limits = {}) {
    auto r = FileReceiver::make(channel, dir, net.io.get_executor(), limits);
    r->setOnProgress([this](const TransferProgress& p) { progress.add(p); });
    return r;
  }
  Message next() { return net.run(peer->receive()).value.value_or(Message{}); }
  // What `r` answers to `o`.
  Message answer(FileReceiver& r, const Message::FileOffer& o) {
    EXPECT_TRUE(r.handle(o));
    return next();
  }
};

TEST(FileNames, SanitizeFollowsTheVectorsAndDropsEveryControl) {
  const auto& cases = test::wireVectors().at("fileNames").as_object().at("sanitize").as_array();
  ASSERT_GE(cases.size(), 10u);
  for (const auto& item : cases) {
    const auto& c = item.as_object();
    const std::string name(c.at("name").as_string());
    const auto got = FileNames::sanitize(name);
    if (c.at("result").is_null()) {
      EXPECT_FALSE(got) << name;
    } else {
      EXPECT_EQ(got.value_or("(refused)"), c.at("result").as_string()) << name;
    }
  }
  for (const char* refused : {".", "..", "", "\t", "a\x01/b", "x\\", "\x01.x"}) EXPECT_FALSE(FileNames::sanitize(refused)) << refused;
  EXPECT_EQ(FileNames::sanitize(std::string("a\0b\x7f", 4)), "ab") << "NUL and DEL never reach the file system";
  // Direction marks and C1 controls go; a joiner inside a word stays.
  EXPECT_EQ(FileNames::sanitize("foto\u202Egpj.exe"), "fotogpj.exe");
  EXPECT_EQ(FileNames::sanitize("\u2066rapor\u2069 \xc2\x9b.pdf"), "rapor .pdf");
  EXPECT_EQ(FileNames::sanitize("not\u200Dlar.txt"), "not\u200Dlar.txt");
  EXPECT_FALSE(FileNames::sanitize("\u202E\u200F"));  // nothing left
  EXPECT_FALSE(FileNames::sanitize("bozuk\xff.txt"));  // not UTF-8
}

// Free names for files that exist already are the transfers' test; these are the odd suffixes.
TEST(FileNames, NumberedNamesKeepTheLastSuffix) {
  EXPECT_EQ(FileNames::numbered("arsiv.tar.gz", 4), "arsiv.tar (4).gz");
  EXPECT_EQ(FileNames::numbered("notlar.", 2), "notlar. (2)");
}

TEST(FileTransfer, IdsByRoleCollisionFreeNamesAndAnEmptyFile) {
  Session s;
  TempDir src;
  writeFile(s.b.inbox.path / "report.pdf", "eski");
  // A dangling link passes the existence check but holds the name, as a file created after it would.
  fs::create_symlink(src.path / "nowhere", s.b.inbox.path / "report (2).pdf");
  writeFile(src.path / "report.pdf", "birinci");
  writeFile(src.path / "README", "beni oku");
  writeFile(src.path / "bos", "");

  const std::uint32_t h1 = s.a.sender->enqueue(src.path / "report.pdf");
  const std::uint32_t v1 = s.b.sender->enqueue(src.path / "README");
  const std::uint32_t h2 = s.a.sender->enqueue(src.path / "report.pdf");
  const std::uint32_t v2 = s.b.sender->enqueue(src.path / "README");
  const std::uint32_t h3 = s.a.sender->enqueue(src.path / "README");
  const std::uint32_t v3 = s.b.sender->enqueue(src.path / "bos");
  EXPECT_EQ((std::vector{h1, h2, h3}), (std::vector<std::uint32_t>{1, 3, 5}));
  EXPECT_EQ((std::vector{v1, v2, v3}), (std::vector<std::uint32_t>{2, 4, 6}));
  for (auto id : {h1, h2, h3}) s.waitBoth(s.a, s.b, id);
  for (auto id : {v1, v2, v3}) s.waitBoth(s.b, s.a, id);

  EXPECT_EQ(listing(s.b.inbox.path),
            (std::vector<std::string>{"README", "report (2).pdf", "report (3).pdf", "report (4).pdf", "report.pdf"}));
  EXPECT_EQ(test::readTextFile(s.b.inbox.path / "report.pdf"), "eski") << "an existing file is never replaced";
  EXPECT_TRUE(fs::is_symlink(s.b.inbox.path / "report (2).pdf"));
  EXPECT_EQ(test::readTextFile(s.b.inbox.path / "report (4).pdf"), "birinci");
  EXPECT_EQ(s.a.progress.saved(v2), s.a.inbox.path / "README (2)");
  EXPECT_EQ(listing(s.a.inbox.path), (std::vector<std::string>{"README", "README (2)", "bos"}));
  EXPECT_EQ(fs::file_size(s.a.inbox.path / "bos"), 0u);

  // The empty file: offered with size 0, no chunk, the digest of nothing.
  for (const auto& c : s.a.seenOf<Message::FileChunk>()) EXPECT_NE(c.id, v3);
  bool doneSeen = false;
  for (const auto& d : s.a.seenOf<Message::FileDone>()) {
    if (d.id == v3) doneSeen = d.sha256 == PelloraCrypto::sha256({});
  }
  EXPECT_TRUE(doneSeen);
  // Sender reports: waiting (queued), waiting (offered), running, done without a file.
  const auto reports = s.a.progress.of(h1, Dir::sending);
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports.front().state, TransferProgress::State{TransferProgress::Waiting{}});
  EXPECT_EQ(reports.back(), (TransferProgress{h1, Dir::sending, "report.pdf", 7, 7, TransferProgress::Done{}}));
  EXPECT_EQ(s.b.progress.last(h1, Dir::receiving)->fraction(), 1.0);
  EXPECT_TRUE(s.a.unhandled.empty() && s.b.unhandled.empty());
}

TEST(FileTransfer, ReceiverRefusesOffersItCannotTake) {
  ManualPeer m;
  auto receiver = m.receiver(m.inbox.path);
  auto answer = [&](const Message::FileOffer& o) { return m.answer(*receiver, o); };
  auto& [net, peer, channel, inbox, progress] = m;

  std::uint32_t id = 1;
  for (const std::string& bad : std::vector<std::string>{"a/b", "a\\b", "x..y", ".gizli", "   ", std::string(256, 'x')}) {
    EXPECT_EQ(answer(offer(id, bad, 1)), reject(id, "Geçersiz dosya adı")) << bad;
    id += 2;
  }
  EXPECT_EQ(answer(offer(id, "buyuk.iso", FileNames::maxSize + 1)), reject(id, "Dosya çok büyük"));
  EXPECT_EQ(answer(offer(101, "tam.iso", FileNames::maxSize)), accept(101));
  EXPECT_EQ(answer(offer(101, "tam.iso", 1)), reject(101, "Dosya alımı kapalı")) << "the id is in use";
  receiver->setAutoAccept(false);
  EXPECT_EQ(answer(offer(103, "x.txt", 1)), reject(103, "Dosya alımı kapalı"));
  receiver->setAutoAccept(true);
  writeFile(inbox.path / "dosya", "");
  auto blocked = m.receiver(inbox.path / "dosya" / "alt");
  EXPECT_EQ(m.answer(*blocked, offer(105, "x.txt", 1)), reject(105, "Kaydedilemiyor"));
  EXPECT_EQ(answer(offer(107, " x.txt\t", 1)), accept(107));
  for (std::uint32_t more = 201; more < 201 + 2 * (FileReceiver::maxIncoming - 2); more += 2) {
    EXPECT_EQ(answer(offer(more, "x.txt", 1)), accept(more));
  }
  EXPECT_EQ(answer(offer(301, "x.txt", 1)), reject(301, "Dosya alımı kapalı")) << "too many open at once";
  EXPECT_EQ(progress.all.size(), FileReceiver::maxIncoming);
  // Only the accepted offers were reported, under their sanitised names; a cancel of the other end's
  // parity for no incoming transfer is not the receiver's.
  EXPECT_EQ(progress.all[0], (TransferProgress{101, Dir::receiving, "tam.iso", 0, FileNames::maxSize, TransferProgress::Running{}}));
  EXPECT_EQ(progress.all[1].name, "x.txt");
  EXPECT_FALSE(receiver->handle(Message::FileCancel{2, "?"}));
  EXPECT_FALSE(receiver->handle(Message::Ping{1}));
  receiver->abandonAll();
  receiver->waitUntilIdle();
  EXPECT_EQ(progress.failure(101, Dir::receiving), "Bağlantı kapandı");
  EXPECT_EQ(listing(inbox.path), std::vector<std::string>{"dosya"}) << "abandoned partial files are removed";
}

// What one session may leave on the disk: a number of bytes, room on the volume, and a bounded search for a
// free name (the number of files is the hostile peer's flood). Refused offers and failed transfers leave no
// file behind.
TEST(FileTransfer, ReceiverKeepsEachSessionWithinItsLimits) {
  ManualPeer m;
  FileReceiver::Limits limits;
  limits.maxBytes = 100;
  limits.minFreeBytes = 0;
  limits.minFreePercent = 0;
  auto receiver = m.receiver(m.inbox.path, limits);
  auto answer = [&](const Message::FileOffer& o) { return m.answer(*receiver, o); };
  auto& [net, peer, channel, inbox, progress] = m;
  auto finishEmpty = [&](std::uint32_t id) {
    receiver->handle(Message::FileDone{id, PelloraCrypto::sha256({})});
    net.runUntil([&] { return progress.finished(id, Dir::receiving); });
  };

  EXPECT_EQ(answer(offer(1, "a", 0)), accept(1));
  finishEmpty(1);
  EXPECT_EQ(answer(offer(3, "b", 60)), accept(3));
  EXPECT_EQ(answer(offer(5, "c", 50)), reject(5, "Dosya çok büyük")) << "60 + 50 bytes are more than the session may take";
  receiver->handle(Message::FileCancel{3, "vazgeçti"});
  EXPECT_EQ(answer(offer(7, "c", 50)), accept(7)) << "a cancelled transfer gives its bytes back";
  receiver->handle(Message::FileDone{7, PelloraCrypto::sha256({})});  // short: fails and gives its share back
  receiver->waitUntilIdle();
  EXPECT_EQ(listing(inbox.path), std::vector<std::string>{"a"});

  // A volume that would keep less free space than asked for.
  limits.minFreeBytes = std::uint64_t{1} << 62;
  auto full = m.receiver(inbox.path / "dolu", limits);
  EXPECT_EQ(m.answer(*full, offer(17, "x.txt", 0)), reject(17, "Kaydedilemiyor"));
  full->waitUntilIdle();
  EXPECT_TRUE(listing(inbox.path / "dolu").empty());

  // Every numbered name taken: the file is not saved, and nothing of it stays.
  const fs::path crowded = inbox.path / "kalabalik";
  fs::create_directories(crowded);
  for (std::uint64_t n = 1; n <= FileNames::maxNumbered; ++n) writeFile(crowded / FileNames::numbered("a.txt", n), "");
  auto late = m.receiver(crowded);
  EXPECT_EQ(m.answer(*late, offer(19, "a.txt", 0)), accept(19));
  late->handle(Message::FileDone{19, PelloraCrypto::sha256({})});
  net.runUntil([&] { return progress.finished(19, Dir::receiving); });
  EXPECT_EQ(progress.failure(19, Dir::receiving), "Kaydedilemedi");
  EXPECT_FALSE(hasPartialFile(crowded));
}

TEST(FileTransfer, SenderRefusalsAndCancelsBeforeTheOffer) {
  Session s;
  TempDir src;
  const fs::path huge = src.path / "buyuk.iso";
  sparseFile(huge, FileNames::maxSize + 1);
  writeFile(src.path / "a.txt", "a");
  writeFile(src.path / "b.txt", "b");

  const auto tooBig = s.a.sender->enqueue(huge);
  const auto missing = s.a.sender->enqueue(src.path / "yok.txt");
  s.b.receiver->setAutoAccept(false);
  const auto refused = s.a.sender->enqueue(src.path / "a.txt");
  s.waitFor(s.a, refused, Dir::sending);
  EXPECT_EQ(s.a.progress.failure(tooBig, Dir::sending), "Dosya çok büyük (en çok 8 GB)");
  EXPECT_EQ(s.a.progress.of(tooBig, Dir::sending).front().total, FileNames::maxSize + 1);
  EXPECT_EQ(s.a.progress.failure(missing, Dir::sending), "No such file or directory");
  EXPECT_EQ(s.a.progress.failure(refused, Dir::sending), "Karşı taraf reddetti: Dosya alımı kapalı");
  ASSERT_EQ(s.b.seenOf<Message::FileOffer>().size(), 1u) << "only the refused file was offered";

  // A file cancelled while queued ends without an offer; the peer hears of the cancel.
  s.b.receiver->setAutoAccept(true);
  s.b.filter = [](Message& m) { return !m.is<Message::FileOffer>(); };  // hold the first offer unanswered
  const auto held = s.a.sender->enqueue(src.path / "a.txt");
  const auto queued = s.a.sender->enqueue(src.path / "b.txt");
  s.a.sender->cancel(queued, "Gönderen iptal etti");
  s.net.runUntil([&] { return s.b.seenOf<Message::FileOffer>().size() == 2; });
  s.a.sender->cancel(held, "Gönderen iptal etti");
  s.waitFor(s.a, queued, Dir::sending);
  s.net.runUntil([&] { return s.b.seenOf<Message::FileCancel>().size() == 2; });
  EXPECT_EQ(s.a.progress.failure(held, Dir::sending), "İptal edildi: Gönderen iptal etti");
  EXPECT_EQ(s.a.progress.failure(queued, Dir::sending), "İptal edildi: Gönderen iptal etti");
  EXPECT_EQ(s.b.seenOf<Message::FileOffer>().size(), 2u);
  EXPECT_EQ(s.b.unhandled.size(), 2u) << "cancels of transfers the receiver never took are left to the session";
}

// A file broken off mid-way (a chunk out of order, the receiver's cancel from another thread, a dropped
// connection): both ends fail it with their own text and nothing partial stays; after a drop the sender
// also fails what was queued behind it. The file is large enough that the sender is still sending when the
// end comes.
TEST(FileTransfer, AFileBrokenOffMidWayEndsBothSidesAndLeavesNothing) {
  enum class Break { outOfOrder, receiverCancels, connectionDrops };
  const struct {
    Break how;
    const char *receiverText, *senderText;
  } cases[] = {
      {Break::outOfOrder, "Sıra dışı veri", "İptal edildi: Sıra dışı veri"},
      {Break::receiverCancels, "İptal edildi", "İptal edildi: Alıcı iptal etti"},
      {Break::connectionDrops, "Bağlantı kapandı", "Bağlantı kapandı"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.receiverText);
    int chunks = 0;  // outlives the session, whose receive loop counts
    Session s;
    TempDir src;
    sparseFile(src.path / "buyuk.bin", 64 << 20);
    writeFile(src.path / "kucuk.txt", "k");
    if (c.how == Break::outOfOrder) {
      s.b.filter = [&](Message& m) {
        if (auto* chunk = std::get_if<Message::FileChunk>(&m.value); chunk && ++chunks == 2) chunk->offset += 1;
        return true;
      };
    }
    const auto cut = s.a.sender->enqueue(src.path / "buyuk.bin");
    const auto behind = s.a.sender->enqueue(src.path / "kucuk.txt");
    s.net.runUntil([&] {
      auto l = s.b.progress.last(cut, Dir::receiving);
      return l && (l->done > 0 || l->isFinished());
    });
    if (c.how != Break::outOfOrder) {
      ASSERT_TRUE(hasPartialFile(s.b.inbox.path));
    }
    if (c.how == Break::receiverCancels) std::thread([&] { s.b.receiver->cancel(cut); }).join();
    if (c.how == Break::connectionDrops) s.b.channel->wire()->cancel();
    s.waitBoth(s.a, s.b, cut);
    EXPECT_EQ(s.b.progress.failure(cut, Dir::receiving), c.receiverText);
    EXPECT_EQ(s.a.progress.failure(cut, Dir::sending), c.senderText);
    EXPECT_LT(s.a.progress.last(cut, Dir::sending)->done, 64u << 20);
    if (c.how == Break::connectionDrops) {
      s.waitFor(s.a, behind, Dir::sending);
      EXPECT_EQ(s.a.progress.failure(behind, Dir::sending), "Bağlantı kapandı");
    }
    s.b.receiver->waitUntilIdle();
    EXPECT_FALSE(hasPartialFile(s.b.inbox.path));
    EXPECT_FALSE(fs::exists(s.b.inbox.path / "buyuk.bin"));
  }
}

TEST(FileTransfer, UnansweredOfferTimesOutAndTheNextFileStarts) {
  Session s(30ms);
  TempDir src;
  writeFile(src.path / "a.txt", "a");
  writeFile(src.path / "b.txt", "b");
  bool dropped = false;
  s.b.filter = [&](Message& m) { return !m.is<Message::FileOffer>() || std::exchange(dropped, true); };
  const auto first = s.a.sender->enqueue(src.path / "a.txt");
  const auto second = s.a.sender->enqueue(src.path / "b.txt");
  s.waitBoth(s.a, s.b, second);
  EXPECT_EQ(s.a.progress.failure(first, Dir::sending), "Karşı taraf yanıt vermedi");
  EXPECT_EQ(test::readTextFile(*s.b.progress.saved(second)), "b");
  // A late answer to the timed-out offer is nobody's.
  EXPECT_FALSE(s.a.sender->handle(Message::FileAccept{first}));
}

std::string randomContent(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(s.data() + i, &v, 8);
  }
  return s;
}

TEST(FileTransfer, BothDirectionsAtOnceUnderBackPressure) {
  SerialQueue hostFiles("pellora.files"), viewerFiles("pellora.files");
  Session s(FileSender::defaultOfferTimeout, &hostFiles, &viewerFiles);
  TempDir src;
  const std::string up = randomContent(64 << 20, 1), down = randomContent(64 << 20, 2);
  writeFile(src.path / "yukari.bin", up);
  writeFile(src.path / "asagi.bin", down);
  const auto u = s.a.sender->enqueue(src.path / "yukari.bin");
  const auto d = s.b.sender->enqueue(src.path / "asagi.bin");
  s.net.runUntil([&] {
    EXPECT_LE(s.a.channel->queuedBytes(), FileSender::queueLimit + 2 * static_cast<std::int64_t>(FileSender::chunkSize));
    return s.b.progress.finished(u, Dir::receiving) && s.a.progress.finished(d, Dir::receiving);
  });
  ASSERT_TRUE(s.b.progress.saved(u) && s.a.progress.saved(d)) << s.b.progress.failure(u, Dir::receiving);
  EXPECT_EQ(PelloraCrypto::sha256(asBytes(test::readTextFile(*s.b.progress.saved(u)))), PelloraCrypto::sha256(asBytes(up)));
  EXPECT_EQ(PelloraCrypto::sha256(asBytes(test::readTextFile(*s.a.progress.saved(d)))), PelloraCrypto::sha256(asBytes(down)));
  s.net.runUntil([&] { return s.a.progress.finished(u, Dir::sending) && s.b.progress.finished(d, Dir::sending); });
  hostFiles.stop();
  viewerFiles.stop();
}

TEST(PeerText, TerminalLinesShowControlsAsEscapes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Ayşe'nin Mac'i — 日本 👩‍👩‍👧", "Ayşe'nin Mac'i — 日本 👩‍👩‍👧"},  // joiners stay
      {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},                      // window title
      {"a\x1b[2K\rHatalı parola", "a\\x1b[2K\\rHatalı parola"},        // erase line, carriage return
      {"x\ny\tz", "x\\ny\\tz"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"\xc2\x9b" "31m", "\\u{009B}31m"},                                // C1 CSI
      {"\xc2\x85", "\\u{0085}"},                                         // next line
      {"rapor\u202Efdp.exe", "rapor\\u{202E}fdp.exe"},
      {"\u200E\u200F\u061C\u202A\u2066\u2069\u2028\u2029\uFEFF", "\\u{200E}\\u{200F}\\u{061C}\\u{202A}\\u{2066}\\u{2069}"
                                                                   "\\u{2028}\\u{2029}\\u{FEFF}"},
      {"\xff\xc3", "\\xff\\xc3"},                                        // not UTF-8: bytes, visibly
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                               // an encoded surrogate
      {"ok\\x1b", "ok\\x1b"},                                            // a backslash stays itself
  };
  for (const auto& c : cases) EXPECT_EQ(PeerText::forTerminal(c.in), c.out) << c.out;
}

}  // namespace
}  // namespace pellora
