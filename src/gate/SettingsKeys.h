#pragma once

// The keys of the settings store, shared by the parts that read and write them.
namespace SettingsKeys {
inline constexpr char kApiKey[] = "kv.apiKey";
inline constexpr char kUserId[] = "kv.userId";
inline constexpr char kRoom[] = "kv.personalRoom";
inline constexpr char kUseExisting[] = "kv.useExistingGate";
inline constexpr char kHostFP[] = "kv.hostFingerprint";
inline constexpr char kHookWait[] = "kv.hookWaitSeconds";
} // namespace SettingsKeys
