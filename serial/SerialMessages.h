#pragma once

#include <string_view>

// The serial channel's messages, as the user reads them.
namespace sparwick::serialmsg {

inline constexpr std::string_view semaphoreError = "OSAL semaphore error!";
inline constexpr std::string_view portNameSize = "OSAL Port string size incorrect!";
inline constexpr std::string_view getCommStateError = "OGetCommState error!";
inline constexpr std::string_view setCommStateError = "SetCommState error!";
inline constexpr std::string_view getCommTimeoutsError = "GetCommTimeouts error!";
inline constexpr std::string_view setCommTimeoutsError = "SetCommTimeouts error!";

} // namespace sparwick::serialmsg
