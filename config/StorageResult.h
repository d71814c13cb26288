// Result codes of the compound-file classes: 0 is success, S_FALSE (1) says
// "no compound file", every other value is a failure. Each code has a text.
// The codes are the container's own vocabulary and stay inside config/: the
// storages raise them in ECompDocError, the store in EConfigFileError's text.
#pragma once

#include <QString>
#include <cstdint>

using StgResult = std::int32_t;

namespace stg {
inline constexpr StgResult kOk = 0;
inline constexpr StgResult kFalse = 1;  // not a compound file
inline constexpr StgResult kFail = static_cast<StgResult>(0x80004005u);
inline constexpr StgResult kInvalidFunction = static_cast<StgResult>(0x80030001u);
inline constexpr StgResult kFileNotFound = static_cast<StgResult>(0x80030002u);
inline constexpr StgResult kPathNotFound = static_cast<StgResult>(0x80030003u);
inline constexpr StgResult kAccessDenied = static_cast<StgResult>(0x80030005u);
inline constexpr StgResult kInsufficientMemory = static_cast<StgResult>(0x80030008u);
inline constexpr StgResult kSeekError = static_cast<StgResult>(0x80030019u);
inline constexpr StgResult kWriteFault = static_cast<StgResult>(0x8003001Du);
inline constexpr StgResult kReadFault = static_cast<StgResult>(0x8003001Eu);
inline constexpr StgResult kShareViolation = static_cast<StgResult>(0x80030020u);
inline constexpr StgResult kLockViolation = static_cast<StgResult>(0x80030021u);
inline constexpr StgResult kFileAlreadyExists = static_cast<StgResult>(0x80030050u);
inline constexpr StgResult kInvalidParameter = static_cast<StgResult>(0x80030057u);
inline constexpr StgResult kMediumFull = static_cast<StgResult>(0x80030070u);
inline constexpr StgResult kInvalidHeader = static_cast<StgResult>(0x800300FBu);
inline constexpr StgResult kInvalidName = static_cast<StgResult>(0x800300FCu);
inline constexpr StgResult kInvalidFlag = static_cast<StgResult>(0x800300FFu);
inline constexpr StgResult kDocfileCorrupt = static_cast<StgResult>(0x80030109u);
inline constexpr StgResult kDocfileTooLarge = static_cast<StgResult>(0x80030111u);
}  // namespace stg

// The description of a result code; an unknown code gets a generic text with its number.
QString StgResultText(StgResult code);
