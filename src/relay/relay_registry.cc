#include "relay/relay_registry.h"

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "core/crypto.h"

namespace pellora::relay {

namespace {

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("relay database: ") + sqlite3_errmsg(db));
  return Statement(s);
}

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Without a pipeline: the blocking form, on the caller's (registry) thread.
template <typename Blocking, typename Done>
void answerAtOnce(Blocking blocking, Done& done) {
  decltype(blocking()) result;
  try {
    result = blocking();
  } catch (...) {
    return done({}, std::current_exception());
  }
  done(std::move(result), nullptr);
}

}  // namespace

std::string randomID() {
  std::uint64_t n = 0;
  for (std::uint8_t b : PelloraCrypto::randomBytes(8)) n = n << 8 | b;
  return std::to_string(100'000'000 + n % 900'000'000);
}

// Drawn from a pool of random bytes that each thread refills 1 KiB at a time: the generator's setup costs
// more than 16 bytes of output, and a burst of connects (hosts back after a restart) draws a token each.
// Bytes are wiped as they are handed out.
std::string randomToken() {
  constexpr std::size_t kTokenBytes = 16, kPoolBytes = 1024;
  thread_local Bytes pool;
  thread_local std::size_t used = 0;
  if (used == pool.size()) {
    pool = PelloraCrypto::randomBytes(kPoolBytes);
    used = 0;
  }
  std::uint8_t* token = pool.data() + used;
  used += kTokenBytes;
  std::string hex = hexString(ByteView(token, kTokenBytes));
  OPENSSL_cleanse(token, kTokenBytes);
  return hex;
}

void LocalRelayRegistry::Close::operator()(sqlite3* db) const { sqlite3_close(db); }

LocalRelayRegistry::LocalRelayRegistry(const std::filesystem::path& database) {
  if (database.has_parent_path()) std::filesystem::create_directories(database.parent_path());
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK) throw std::runtime_error("relay database " + database.string() + ": " + sqlite3_errmsg(db));
  char* error = nullptr;
  if (sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL;"
                   "CREATE TABLE IF NOT EXISTS identities ("
                   "  id TEXT PRIMARY KEY,"
                   "  secret_sha256 BLOB NOT NULL,"
                   "  created INTEGER NOT NULL DEFAULT (strftime('%s','now')));",
                   nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("relay database: " + message);
  }
}

LocalRelayRegistry::~LocalRelayRegistry() = default;

Registration LocalRelayRegistry::registerIdentity() {
  Statement insert = prepare(db_.get(), "INSERT OR IGNORE INTO identities (id, secret_sha256) VALUES (?, ?)");
  Registration r;
  r.secret = hexString(PelloraCrypto::randomBytes(32));
  const Bytes digest = PelloraCrypto::sha256(asBytes(r.secret));
  // Ids are never deleted, so a taken id is never handed out again; with 900 million ids a clash is rare
  // and simply draws again.
  for (;;) {
    r.id = randomID();
    sqlite3_reset(insert.get());
    bindText(insert.get(), 1, r.id);
    sqlite3_bind_blob(insert.get(), 2, digest.data(), static_cast<int>(digest.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert.get()) != SQLITE_DONE)
      throw std::runtime_error(std::string("relay database: ") + sqlite3_errmsg(db_.get()));
    if (sqlite3_changes(db_.get()) == 1) return r;
  }
}

bool LocalRelayRegistry::authenticate(std::string_view id, std::string_view secret) {
  Statement select = prepare(db_.get(), "SELECT secret_sha256 FROM identities WHERE id = ?");
  bindText(select.get(), 1, id);
  if (sqlite3_step(select.get()) != SQLITE_ROW) return false;
  const auto* stored = static_cast<const std::uint8_t*>(sqlite3_column_blob(select.get(), 0));
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0));
  const Bytes digest = PelloraCrypto::sha256(asBytes(secret));
  return stored && PelloraCrypto::constantTimeEqual(ByteView(stored, size), digest);
}

void LocalRelayRegistry::attachHost(const std::string& id, std::shared_ptr<HostLink> link) {
  auto& slot = hosts_[id];
  std::shared_ptr<HostLink> previous = std::exchange(slot, std::move(link));
  if (previous) previous->replaced();
}

void LocalRelayRegistry::detachHost(const std::string& id, const HostLink* link) {
  auto it = hosts_.find(id);
  if (it != hosts_.end() && it->second.get() == link) hosts_.erase(it);
}

bool LocalRelayRegistry::notifyHost(const std::string& id, const std::string& token) {
  auto it = hosts_.find(id);
  if (it == hosts_.end()) return false;
  it->second->incoming(token);
  return true;
}

std::string RelayRegistry::announce(const std::string& id, std::shared_ptr<PendingConnect> pending,
                                   std::chrono::steady_clock::time_point expiry) {
  std::string token = addPending(std::move(pending), expiry);
  if (notifyHost(id, token)) return token;
  takeLocalPending(token);
  return {};
}

void RelayRegistry::announcePipelined(const std::string& id, std::shared_ptr<PendingConnect> pending,
                                      std::chrono::steady_clock::time_point expiry, Announced done) {
  answerAtOnce([&] { return announce(id, std::move(pending), expiry); }, done);
}

void RelayRegistry::takePendingPipelined(const std::string& token, Taken done) {
  answerAtOnce([&] { return takePending(token); }, done);
}

std::string LocalRelayRegistry::addPending(std::shared_ptr<PendingConnect> pending,
                                           std::chrono::steady_clock::time_point expiry) {
  std::lock_guard lock(pendingMutex_);
  dropExpired();
  std::string token = randomToken();
  pending_[token] = Pending{pending, expiry};
  return token;
}

PendingLookup LocalRelayRegistry::takePending(const std::string& token) { return {takeLocalPending(token), {}}; }

std::shared_ptr<PendingConnect> LocalRelayRegistry::takeLocalPending(const std::string& token) {
  std::lock_guard lock(pendingMutex_);
  dropExpired();
  auto it = pending_.find(token);
  if (it == pending_.end()) return nullptr;
  std::shared_ptr<PendingConnect> p = it->second.connect.lock();
  pending_.erase(it);
  return p;
}

void LocalRelayRegistry::dropExpired() {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(pending_, [now](const auto& entry) {
    return entry.second.expiry <= now || entry.second.connect.expired();
  });
}

}  // namespace pellora::relay
