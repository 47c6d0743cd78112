#pragma once

// Keys travel as USB HID keyboard usages (page 0x07). This converts the Mac virtual key codes a Mac peer
// uses to usages and back, with the two keys Macs exchange on ISO keyboards, and swaps Command and Control
// for peers whose shortcuts use Control. Thread-safe: the tables are built once, on first use.

#include <cstdint>
#include <optional>

namespace pellora::KeyMap {

inline constexpr std::uint16_t leftControl = 224;
inline constexpr std::uint16_t leftShift = 225;
inline constexpr std::uint16_t leftAlt = 226;
inline constexpr std::uint16_t leftGUI = 227;
inline constexpr std::uint16_t rightControl = 228;
inline constexpr std::uint16_t rightShift = 229;
inline constexpr std::uint16_t rightAlt = 230;
inline constexpr std::uint16_t rightGUI = 231;

// Number of pairs in the Mac table (the ISO keys and the three host-only usages are handled by rule).
inline constexpr int macTableSize = 117;

std::optional<std::uint16_t> hidFromMac(std::uint16_t macKeyCode, bool isoKeyboard);
std::optional<std::uint16_t> macFromHID(std::uint16_t usage, bool isoKeyboard);
// Control and GUI exchanged on each side (224<->227, 228<->231); every other usage unchanged.
std::uint16_t swapCommandControl(std::uint16_t usage);

}  // namespace pellora::KeyMap
