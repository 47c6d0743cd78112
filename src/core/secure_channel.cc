#include "core/secure_channel.h"

#include "core/crypto_error.h"

namespace pellora {

std::shared_ptr<SecureChannel> SecureChannel::make(std::shared_ptr<Wire> wire, Hello peer, CipherState sendCipher,
                                                   CipherState receiveCipher, int handshakeVersion) {
  return std::shared_ptr<SecureChannel>(new SecureChannel(std::move(wire), std::move(peer), std::move(sendCipher),
                                                          std::move(receiveCipher), handshakeVersion));
}

SecureChannel::SecureChannel(std::shared_ptr<Wire> wire, Hello peer, CipherState sendCipher, CipherState receiveCipher,
                             int handshakeVersion)
    : wire_(std::move(wire)),
      peer_(std::move(peer)),
      handshakeVersion_(handshakeVersion),
      sendCipher_(std::move(sendCipher)),
      receiveCipher_(std::move(receiveCipher)) {}

void SecureChannel::send(const Message& message) {
  try {
    // Encoding touches no shared state, so it stays outside the lock; sealing, counting and the hand-over
    // happen under one lock hold so that nonce order and wire order agree.
    const Bytes plaintext = message.encode();
    Bytes frame(Framing::prefixSize + plaintext.size() + CipherState::tagSize);
    const std::uint32_t length = static_cast<std::uint32_t>(frame.size() - Framing::prefixSize);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));

    std::lock_guard lock(lock_);
    if (closed_) return;
    sendCipher_.sealInto(plaintext, frame.data() + Framing::prefixSize);
    const std::size_t size = frame.size();
    // Counted before the hand-over: its completion may run at once, and takes no lock.
    pendingBytes_ += static_cast<std::int64_t>(size);
    try {
      wire_->send(std::move(frame), [weak = weak_from_this(), size](const boost::system::error_code& ec) {
        if (auto self = weak.lock()) self->sent(size, static_cast<bool>(ec));
      });
    } catch (...) {
      pendingBytes_ -= static_cast<std::int64_t>(size);
      throw;
    }
  } catch (const std::exception&) {
    // Sending never reports: a message that cannot be sealed is dropped.
  }
}

// On the wire's strand.
void SecureChannel::sent(std::size_t frameSize, bool failed) {
  pendingBytes_ -= static_cast<std::int64_t>(frameSize);
  if (failed && !closed_.exchange(true)) wire_->cancel();
}

std::int64_t SecureChannel::queuedBytes() const { return pendingBytes_.load(); }

bool SecureChannel::isClosed() const { return closed_.load(); }

boost::asio::awaitable<Message> SecureChannel::receive() {
  const auto self = shared_from_this();
  // After one forged record nothing later is trusted, even when the counters still agree (a record
  // altered in place leaves them in step).
  if (receiveFailed_) throw CryptoError::authenticationFailure();
  Bytes record = co_await wire_->readFrame();
  std::span<std::uint8_t> plaintext;
  try {
    plaintext = receiveCipher_.openInPlace(record);
  } catch (const CryptoError&) {
    receiveFailed_ = true;
    throw;
  }
  co_return Message::decode(plaintext);
}

void SecureChannel::close(std::optional<std::string> reason) {
  if (reason) send(Message::Bye{*reason});
  bool wasClosed;
  {
    std::lock_guard lock(lock_);
    wasClosed = closed_.exchange(true);
  }
  if (wasClosed) return;
  if (reason)
    wire_->cancelAfter(cancelDelay);
  else
    wire_->cancel();
}

}  // namespace pellora
