#include "host/input_injector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/fake_input_event_sink.h"

namespace pellora {
namespace {

using Type = MouseEvent::Type;
using Sink = FakeInputEventSink;

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    auto fake = std::make_unique<Sink>();
    sink = fake.get();
    injector = std::make_unique<InputInjector>(std::move(fake));
  }

  void button(std::uint8_t raw, bool down, std::uint8_t clicks = 1, float x = 0.5f, float y = 0.5f) {
    injector->handle(Message::MouseButtonMsg{raw, down, clicks, x, y});
  }
  void key(std::uint16_t usage, bool down) { injector->handle(Message::Key{usage, down}); }
  void scroll(float dx, float dy) { injector->handle(Message::Scroll{dx, dy}); }

  const MouseEvent& mouse(std::size_t i) const { return std::get<MouseEvent>(sink->events.at(i)); }
  const Sink::Key& keyEvent(std::size_t i) const { return std::get<Sink::Key>(sink->events.at(i)); }
  const Sink::Scroll& scrollEvent(std::size_t i) const { return std::get<Sink::Scroll>(sink->events.at(i)); }

  Sink* sink = nullptr;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(InputInjectorTest, MapsNormalisedPositionsOntoTheDisplay) {
  EXPECT_EQ(injector->displayBounds, (PixelRect{0, 0, 1920, 1080}));  // the main display until a capture
  EXPECT_EQ(injector->point(0.5f, 0.5f), (ScreenPoint{959.5, 539.5}));
  EXPECT_EQ(injector->point(1.2f, -0.3f), (ScreenPoint{1919, 0}));
  EXPECT_EQ(injector->point(1.0f, 1.0f), (ScreenPoint{1919, 1079}));
  EXPECT_EQ(injector->point(std::nanf(""), std::numeric_limits<float>::infinity()), (ScreenPoint{0, 1079}));

  injector->displayBounds = {1920, 0, 2560, 1440};
  EXPECT_EQ(injector->point(0, 0), (ScreenPoint{1920, 0}));
  injector->handle(Message::MouseMove{1, 0.5f});
  EXPECT_EQ(mouse(0).location, (ScreenPoint{1920 + 2559, 719.5}));
  EXPECT_EQ(mouse(0).type, Type::moved);
}

TEST_F(InputInjectorTest, KeysCarryTheHeldModifiersAndUnknownKeysChangeNothing) {
  key(50, true);  // Non-US #: no key on this sink
  key(0xFFFF, true);
  injector->releaseAll();
  EXPECT_TRUE(sink->events.empty());
  key(0xE1, true);  // left Shift
  key(4, true);     // A
  key(0xE1, false);
  key(4, false);
  ASSERT_EQ(sink->events.size(), 4u);
  EXPECT_EQ(keyEvent(0), (Sink::Key{56, true, ModifierFlags::shift}));
  EXPECT_EQ(keyEvent(1), (Sink::Key{0, true, ModifierFlags::shift}));
  EXPECT_EQ(keyEvent(2), (Sink::Key{56, false, 0}));
  EXPECT_EQ(keyEvent(3), (Sink::Key{0, false, 0}));

  // Left and right give the same flag; buttons carry the flags too.
  for (std::uint16_t usage : {0xE4, 0xE5, 0xE6, 0xE7}) key(usage, true);
  EXPECT_EQ(injector->modifierFlags(),
            ModifierFlags::control | ModifierFlags::shift | ModifierFlags::option | ModifierFlags::command);
  button(0, true);
  EXPECT_EQ(mouse(sink->events.size() - 1).flags, injector->modifierFlags());
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfButtonsThenKeysThenModifiers) {
  button(0, true);
  key(0xE3, true);  // left Command
  key(6, true);     // C
  button(3, true);  // an extra button goes up with its own number
  sink->events.clear();

  injector->releaseAll();
  ASSERT_EQ(sink->events.size(), 4u);
  EXPECT_EQ(mouse(0).type, Type::leftUp);
  EXPECT_EQ(mouse(0).location, (ScreenPoint{959.5, 539.5}));
  EXPECT_EQ(mouse(1).type, Type::otherUp);
  EXPECT_EQ(mouse(1).button, 3);
  EXPECT_EQ(keyEvent(2), (Sink::Key{8, false, ModifierFlags::command}));
  EXPECT_EQ(keyEvent(3), (Sink::Key{55, false, 0}));

  sink->events.clear();
  injector->releaseAll();
  injector->handle(Message::MouseMove{0, 0});
  EXPECT_EQ(sink->events.size(), 1u);  // nothing left to release; moves are plain moves again
  EXPECT_EQ(mouse(0).type, Type::moved);
}

TEST_F(InputInjectorTest, ScrollsThatCannotBePostedAreDropped) {
  scroll(0, 0.5f);
  scroll(0, std::nanf(""));
  scroll(std::numeric_limits<float>::infinity(), 0);
  scroll(0, -3e9f);
  scroll(3e38f, 3e38f);
  EXPECT_TRUE(sink->events.empty());
  scroll(0, 0.5f);  // the earlier half is still there
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(scrollEvent(0), (Sink::Scroll{1, 0}));
  scroll(0, 2e9f);
  EXPECT_EQ(scrollEvent(1).vertical, 2'000'000'000);
}

}  // namespace
}  // namespace pellora
