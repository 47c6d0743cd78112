#include "platform/linux/clipboard_x11.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <thread>

#include "core/transport_error.h"
#include "support/eventually.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

using test::Xvfb;

// Whether `clipboard` comes to see a change count above `than`.
bool countRisesAbove(Clipboard& clipboard, std::uint64_t than) {
  return test::eventually([&] { return clipboard.changeCount() > than; }, std::chrono::seconds(5));
}

// Another program on the display: takes CLIPBOARD and answers requests from a table (or not at all), or
// asks the clipboard's owner for a target, as third-party programs do.
class OtherProgram {
 public:
  struct Data {
    std::string type;
    std::string bytes;
  };

  explicit OtherProgram(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    clipboard_ = atom("CLIPBOARD");
  }
  ~OtherProgram() { xcb_disconnect(c_); }

  void takeClipboard() {
    xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // a round trip: done
  }

  // Answers every request for CLIPBOARD from `offers` (by target name; others are refused) until `done`.
  template <typename T>
  void serveUntil(const std::future<T>& done, const std::map<std::string, Data>& offers) {
    while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
      while (Event e{xcb_poll_for_event(c_)}) {
        if ((e->response_type & 0x7F) != XCB_SELECTION_REQUEST) continue;
        const auto& r = *reinterpret_cast<const xcb_selection_request_event_t*>(e.get());
        auto offer = offers.find(name(r.target));
        if (offer != offers.end())
          xcb_change_property(c_, XCB_PROP_MODE_REPLACE, r.requestor, r.property, atom(offer->second.type), 8,
                              static_cast<std::uint32_t>(offer->second.bytes.size()), offer->second.bytes.data());
        union {
          xcb_selection_notify_event_t notify;
          char bytes[32];
        } answer{};
        answer.notify = {XCB_SELECTION_NOTIFY, 0, 0, r.time, r.requestor, r.selection, r.target,
                         offer != offers.end() ? r.property : xcb_atom_t{XCB_NONE}};
        xcb_send_event(c_, 0, r.requestor, 0, answer.bytes);
        xcb_flush(c_);
      }
    }
  }

  // Asks the owner of CLIPBOARD for `target`; nothing when refused. ATOM lists come back as names, each
  // followed by a space, after a space.
  std::optional<Data> request(const std::string& target) {
    const xcb_atom_t property = atom("TEST_PROPERTY");
    xcb_convert_selection(c_, window_, clipboard_, atom(target), property, XCB_CURRENT_TIME);
    xcb_flush(c_);
    for (;;) {
      Event e{xcb_wait_for_event(c_)};
      if (!e) return std::nullopt;
      if ((e->response_type & 0x7F) != XCB_SELECTION_NOTIFY) continue;
      if (reinterpret_cast<const xcb_selection_notify_event_t*>(e.get())->property == XCB_NONE) return std::nullopt;
      break;
    }
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
    const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    Data data{name(reply->type), {}};
    if (reply->type == XCB_ATOM_ATOM) {
      data.bytes = " ";
      const auto* atoms = reinterpret_cast<const xcb_atom_t*>(value);
      for (int i = 0; i < xcb_get_property_value_length(reply.get()) / 4; ++i) data.bytes += name(atoms[i]) + " ";
    } else {
      data.bytes.assign(value, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    }
    return data;
  }

 private:
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  using Event = std::unique_ptr<xcb_generic_event_t, Free>;
  template <typename T>
  using Reply = std::unique_ptr<T, Free>;

  xcb_atom_t atom(const std::string& name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
    return reply->atom;
  }
  std::string name(xcb_atom_t atom) {
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, atom), nullptr));
    return std::string(xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
  }

  xcb_connection_t* c_;
  xcb_window_t window_;
  xcb_atom_t clipboard_;
};

TEST(ClipboardX11, NoDisplayIsAConnectFailure) {
  EXPECT_THROW(ClipboardX11(test::kAbsentDisplay), TransportError);
}

TEST(ClipboardX11, TextOfAnySizeWrittenByOneInstanceIsReadByItselfAndAnother) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display()), b(xvfb.display());
  EXPECT_EQ(b.readText(), std::nullopt);  // nobody owns the clipboard yet

  const std::uint64_t before = b.changeCount();
  const std::string text = "Merhaba dünya — ğüşiöç ✓";
  const std::uint64_t written = a.writeText(text);
  EXPECT_GT(written, 0u);
  EXPECT_EQ(a.changeCount(), written);
  EXPECT_EQ(a.readText(), text);
  EXPECT_EQ(b.readText(), text);
  EXPECT_TRUE(countRisesAbove(b, before));

  // A second write is a change of its own, also seen by the other instance.
  const std::uint64_t seen = b.changeCount();
  EXPECT_GT(a.writeText(""), written);
  EXPECT_EQ(b.readText(), "");
  EXPECT_TRUE(countRisesAbove(b, seen));

  // A large text travels in chunks.
  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  a.writeText(large);
  const auto read = b.readText();
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), large.size());
  EXPECT_TRUE(*read == large);

  // The reader still works for small texts after a chunked transfer; the writer still serves.
  b.writeText("küçük");
  EXPECT_EQ(a.readText(), "küçük");
  EXPECT_TRUE(b.readText() == "küçük");
}

TEST(ClipboardX11, AnotherProgramTakingTheClipboardIsAChangeAndEndsOurOwnership) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  const std::uint64_t written = a.writeText("bizim metin");
  OtherProgram other(xvfb.display());
  other.takeClipboard();
  EXPECT_TRUE(countRisesAbove(a, written));
  // The new owner never answers: the read gives up with nothing instead of our old text.
  EXPECT_EQ(a.readText(), std::nullopt);
}

TEST(ClipboardX11, CallsReturnAtOnceWhenTheServerIsGone) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  const std::uint64_t written = a.writeText("son metin");
  xvfb.kill();
  EXPECT_EQ(a.readText(), std::nullopt);
  EXPECT_GE(a.writeText("kimse duymaz"), written);  // the dying server may still report our window's end
}

// What comes back from owners that offer something else than clean UTF-8 text.
TEST(ClipboardX11, OnlyTextIsRead) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  OtherProgram other(xvfb.display());
  other.takeClipboard();
  auto readWhileServing = [&](const std::map<std::string, OtherProgram::Data>& offers) {
    auto reading = std::async(std::launch::async, [&] { return a.readText(); });
    other.serveUntil(reading, offers);
    return reading.get();
  };

  EXPECT_EQ(readWhileServing({{"image/png", {"image/png", "\x89PNG\r\n"}}}), std::nullopt);
  EXPECT_EQ(readWhileServing({{"UTF8_STRING", {"UTF8_STRING", "bozuk \xC3("}}}), std::nullopt);
  EXPECT_EQ(readWhileServing({{"STRING", {"STRING", "caf\xE9"}}}), "café");  // Latin-1 from an older program
  EXPECT_EQ(readWhileServing({{"UTF8_STRING", {"UTF8_STRING", "çalışır"}}, {"STRING", {"STRING", "x"}}}), "çalışır");
}

TEST(ClipboardX11, OtherProgramsGetTheTargetsTheyAskFor) {
  Xvfb xvfb;
  ClipboardX11 a(xvfb.display());
  OtherProgram other(xvfb.display());

  a.writeText("café");
  const auto targets = other.request("TARGETS");
  ASSERT_TRUE(targets.has_value());
  for (const char* target : {" TARGETS ", " UTF8_STRING ", " TEXT ", " STRING "})
    EXPECT_NE(targets->bytes.find(target), std::string::npos) << target << " missing from " << targets->bytes;
  EXPECT_EQ(other.request("STRING")->bytes, "caf\xE9");
  EXPECT_EQ(other.request("UTF8_STRING")->bytes, "café");
  EXPECT_EQ(other.request("TEXT")->type, "UTF8_STRING");
  EXPECT_EQ(other.request("image/png"), std::nullopt);

  a.writeText("ğ");  // no Latin-1 form: STRING is neither listed nor served
  EXPECT_EQ(other.request("TARGETS")->bytes.find(" STRING "), std::string::npos);
  EXPECT_EQ(other.request("STRING"), std::nullopt);
}

}  // namespace
}  // namespace pellora
