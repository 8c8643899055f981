#pragma once
// The main dialog's section and keys in the settings file, shared by the
// dialog's source files.

namespace kvr_main_dlg_keys {
inline constexpr const char* kSection = "SETTING";
inline constexpr const char* kDecodeAllKey = "DECODEALL";  // "Decode every message", 0 or 1
}  // namespace kvr_main_dlg_keys
