#pragma once

// Linux key codes <-> USB HID keyboard usages (page 0x07), for a Linux viewer sending keys and a Linux host
// injecting them. Evdev codes are the kernel's KEY_* numbers; X11 key codes are the evdev codes plus 8, the
// offset every evdev-based X keymap uses (Xorg with libinput or evdev, Xvfb, Xwayland).
// Thread-safe: the tables are constant.

#include <cstdint>
#include <optional>

namespace pellora::LinuxKeyMap {

inline constexpr std::uint16_t x11Offset = 8;

std::optional<std::uint16_t> evdevFromHID(std::uint16_t usage);
std::optional<std::uint16_t> hidFromEvdev(std::uint16_t evdevCode);
std::optional<std::uint16_t> x11FromHID(std::uint16_t usage);
std::optional<std::uint16_t> hidFromX11(std::uint16_t x11KeyCode);

}  // namespace pellora::LinuxKeyMap
