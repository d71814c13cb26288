#include "config/StorageResult.h"

QString StgResultText(StgResult code) {
  switch (code) {
    case stg::kOk: return QStringLiteral("The operation completed successfully.");
    case stg::kFalse: return QStringLiteral("The file is not a compound file.");
    case stg::kFail: return QStringLiteral("Unspecified error.");
    case stg::kInvalidFunction: return QStringLiteral("The operation is not valid here.");
    case stg::kFileNotFound: return QStringLiteral("The file or element could not be found.");
    case stg::kPathNotFound: return QStringLiteral("The path could not be found.");
    case stg::kAccessDenied: return QStringLiteral("Access denied.");
    case stg::kInsufficientMemory: return QStringLiteral("There is not enough memory for the operation.");
    case stg::kSeekError: return QStringLiteral("An error occurred during a seek operation.");
    case stg::kWriteFault: return QStringLiteral("A disk error occurred during a write operation.");
    case stg::kReadFault: return QStringLiteral("A disk error occurred during a read operation.");
    case stg::kShareViolation:
      return QStringLiteral("Access denied because another caller has the file open and locked.");
    case stg::kLockViolation:
      return QStringLiteral("A lock violation has occurred.");
    case stg::kFileAlreadyExists: return QStringLiteral("The file already exists.");
    case stg::kInvalidParameter: return QStringLiteral("Invalid parameter error.");
    case stg::kMediumFull: return QStringLiteral("There is insufficient space for the operation.");
    case stg::kInvalidHeader: return QStringLiteral("The compound file header is not valid.");
    case stg::kInvalidName: return QStringLiteral("The name is not valid.");
    case stg::kInvalidFlag: return QStringLiteral("Invalid flag error.");
    case stg::kDocfileCorrupt: return QStringLiteral("The compound file is damaged.");
    case stg::kDocfileTooLarge: return QStringLiteral("The compound file is too large.");
  }
  return QStringLiteral("Unknown error 0x%1.")
      .arg(static_cast<std::uint32_t>(code), 8, 16, QLatin1Char('0'));
}
