#include "core/linux_key_map.h"

#include <array>
#include <utility>

namespace pellora::LinuxKeyMap {

namespace {

// HID usage -> evdev code, the keys of PC keyboards. Each evdev code occurs once, so the table inverts
// exactly; Non-US # (usage 50) shares the backslash key's code and is handled in this direction only.
constexpr std::pair<std::uint16_t, std::uint16_t> kHIDToEvdev[] = {
    // letters A-Z
    {4, 30}, {5, 48}, {6, 46}, {7, 32}, {8, 18}, {9, 33}, {10, 34}, {11, 35}, {12, 23}, {13, 36}, {14, 37},
    {15, 38}, {16, 50}, {17, 49}, {18, 24}, {19, 25}, {20, 16}, {21, 19}, {22, 31}, {23, 20}, {24, 22},
    {25, 47}, {26, 17}, {27, 45}, {28, 21}, {29, 44},
    // digits 1-0
    {30, 2}, {31, 3}, {32, 4}, {33, 5}, {34, 6}, {35, 7}, {36, 8}, {37, 9}, {38, 10}, {39, 11},
    // Return, Escape, Backspace, Tab, Space and punctuation
    {40, 28}, {41, 1}, {42, 14}, {43, 15}, {44, 57}, {45, 12}, {46, 13}, {47, 26}, {48, 27}, {49, 43},
    {51, 39}, {52, 40}, {53, 41}, {54, 51}, {55, 52}, {56, 53}, {57, 58},
    // F1-F12
    {58, 59}, {59, 60}, {60, 61}, {61, 62}, {62, 63}, {63, 64}, {64, 65}, {65, 66}, {66, 67}, {67, 68},
    {68, 87}, {69, 88},
    // Print Screen, Scroll Lock, Pause, the editing block and the arrows
    {70, 99}, {71, 70}, {72, 119}, {73, 110}, {74, 102}, {75, 104}, {76, 111}, {77, 107}, {78, 109},
    {79, 106}, {80, 105}, {81, 108}, {82, 103},
    // Num Lock and the keypad
    {83, 69}, {84, 98}, {85, 55}, {86, 74}, {87, 78}, {88, 96}, {89, 79}, {90, 80}, {91, 81}, {92, 75},
    {93, 76}, {94, 77}, {95, 71}, {96, 72}, {97, 73}, {98, 82}, {99, 83}, {103, 117}, {133, 121},
    // Non-US \, Application (menu), Power
    {100, 86}, {101, 127}, {102, 116},
    // F13-F24
    {104, 183}, {105, 184}, {106, 185}, {107, 186}, {108, 187}, {109, 188}, {110, 189}, {111, 190},
    {112, 191}, {113, 192}, {114, 193}, {115, 194},
    // Execute, Help, Menu, Select, Stop, Again, Undo, Cut, Copy, Paste, Find, Mute, Volume Up, Volume Down
    {116, 134}, {117, 138}, {118, 130}, {119, 132}, {120, 128}, {121, 129}, {122, 131}, {123, 137},
    {124, 133}, {125, 135}, {126, 136}, {127, 113}, {128, 115}, {129, 114},
    // International1-6 and LANG1-5 (Japanese and Korean keyboards)
    {135, 89}, {136, 93}, {137, 124}, {138, 92}, {139, 94}, {140, 95},
    {144, 122}, {145, 123}, {146, 90}, {147, 91}, {148, 85},
    // modifiers: left Control, Shift, Alt, GUI, then the right ones
    {224, 29}, {225, 42}, {226, 56}, {227, 125}, {228, 97}, {229, 54}, {230, 100}, {231, 126},
};

constexpr std::uint16_t kNonUSHash = 50;
constexpr std::uint16_t kBackslashEvdev = 43;
constexpr std::uint16_t kNone = 0xFFFF;

struct Tables {
  std::array<std::uint16_t, 256> hidToEvdev{};
  std::array<std::uint16_t, 256> evdevToHID{};
  constexpr Tables() {
    hidToEvdev.fill(kNone);
    evdevToHID.fill(kNone);
    for (auto [hid, evdev] : kHIDToEvdev) {
      hidToEvdev[hid] = evdev;
      evdevToHID[evdev] = hid;
    }
    hidToEvdev[kNonUSHash] = kBackslashEvdev;
  }
};

constexpr Tables kTables;

std::optional<std::uint16_t> lookup(const std::array<std::uint16_t, 256>& table, std::uint16_t key) {
  if (key >= table.size() || table[key] == kNone) return std::nullopt;
  return table[key];
}

}  // namespace

std::optional<std::uint16_t> evdevFromHID(std::uint16_t usage) { return lookup(kTables.hidToEvdev, usage); }

std::optional<std::uint16_t> hidFromEvdev(std::uint16_t evdevCode) {
  return lookup(kTables.evdevToHID, evdevCode);
}

std::optional<std::uint16_t> x11FromHID(std::uint16_t usage) {
  auto code = evdevFromHID(usage);
  if (!code) return std::nullopt;
  return static_cast<std::uint16_t>(*code + x11Offset);
}

std::optional<std::uint16_t> hidFromX11(std::uint16_t x11KeyCode) {
  if (x11KeyCode < x11Offset) return std::nullopt;
  return hidFromEvdev(static_cast<std::uint16_t>(x11KeyCode - x11Offset));
}

}  // namespace pellora::LinuxKeyMap
