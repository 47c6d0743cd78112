#include "core/key_map.h"

#include <array>
#include <utility>

namespace pellora::KeyMap {

namespace {

// Mac key code -> HID usage. Every key code and every usage occurs once.
constexpr std::pair<std::uint16_t, std::uint16_t> kMacToHID[] = {
    {0, 4},     {11, 5},    {8, 6},     {2, 7},     {14, 8},    {3, 9},     {5, 10},    {4, 11},
    {34, 12},   {38, 13},   {40, 14},   {37, 15},   {46, 16},   {45, 17},   {31, 18},   {35, 19},
    {12, 20},   {15, 21},   {1, 22},    {17, 23},   {32, 24},   {9, 25},    {13, 26},   {7, 27},
    {16, 28},   {6, 29},    {18, 30},   {19, 31},   {20, 32},   {21, 33},   {23, 34},   {22, 35},
    {26, 36},   {28, 37},   {25, 38},   {29, 39},   {36, 40},   {53, 41},   {51, 42},   {48, 43},
    {49, 44},   {27, 45},   {24, 46},   {33, 47},   {30, 48},   {42, 49},   {41, 51},   {39, 52},
    {43, 54},   {47, 55},   {44, 56},   {57, 57},   {122, 58},  {120, 59},  {99, 60},   {118, 61},
    {96, 62},   {97, 63},   {98, 64},   {100, 65},  {101, 66},  {109, 67},  {103, 68},  {111, 69},
    {114, 73},  {115, 74},  {116, 75},  {117, 76},  {119, 77},  {121, 78},  {124, 79},  {123, 80},
    {125, 81},  {126, 82},  {71, 83},   {75, 84},   {67, 85},   {78, 86},   {69, 87},   {76, 88},
    {83, 89},   {84, 90},   {85, 91},   {86, 92},   {87, 93},   {88, 94},   {89, 95},   {91, 96},
    {92, 97},   {82, 98},   {65, 99},   {110, 101}, {81, 103},  {105, 104}, {107, 105}, {113, 106},
    {106, 107}, {64, 108},  {79, 109},  {80, 110},  {90, 111},  {74, 127},  {72, 128},  {73, 129},
    {95, 133},  {94, 135},  {93, 137},  {104, 144}, {102, 145}, {59, 224},  {56, 225},  {58, 226},
    {55, 227},  {62, 228},  {60, 229},  {61, 230},  {54, 231},
};
static_assert(std::size(kMacToHID) == macTableSize);

constexpr std::uint16_t kNone = 0xFFFF;

struct Tables {
  std::array<std::uint16_t, 256> macToHID;
  std::array<std::uint16_t, 256> hidToMac;
  Tables() {
    macToHID.fill(kNone);
    hidToMac.fill(kNone);
    for (auto [mac, hid] : kMacToHID) {
      macToHID[mac] = hid;
      hidToMac[hid] = mac;
    }
  }
};

const Tables& tables() {
  static const Tables instance;  // thread-safe one-time initialisation
  return instance;
}

std::optional<std::uint16_t> lookup(const std::array<std::uint16_t, 256>& table, std::uint16_t key) {
  if (key >= table.size() || table[key] == kNone) return std::nullopt;
  return table[key];
}

// The section key (10) and the grave-accent key (50) swap places on ISO keyboards.
constexpr std::uint16_t kMacSection = 10, kMacGrave = 50;
constexpr std::uint16_t kHIDGrave = 53, kHIDNonUSBackslash = 100;

}  // namespace

std::optional<std::uint16_t> hidFromMac(std::uint16_t code, bool iso) {
  if (code == kMacSection) return iso ? kHIDGrave : kHIDNonUSBackslash;
  if (code == kMacGrave) return iso ? kHIDNonUSBackslash : kHIDGrave;
  return lookup(tables().macToHID, code);
}

std::optional<std::uint16_t> macFromHID(std::uint16_t usage, bool iso) {
  switch (usage) {
    case kHIDGrave: return iso ? kMacSection : kMacGrave;
    case kHIDNonUSBackslash: return iso ? kMacGrave : kMacSection;
    // Print Screen, Scroll Lock and Pause have no Mac key; they land on F13, F14 and F15.
    case 70: return 105;
    case 71: return 107;
    case 72: return 113;
    default: return lookup(tables().hidToMac, usage);
  }
}

std::uint16_t swapCommandControl(std::uint16_t usage) {
  switch (usage) {
    case leftControl: return leftGUI;
    case leftGUI: return leftControl;
    case rightControl: return rightGUI;
    case rightGUI: return rightControl;
    default: return usage;
  }
}

}  // namespace pellora::KeyMap
