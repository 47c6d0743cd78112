#include "core/transfer_error.h"

namespace pellora {

namespace {
std::string describe(TransferError::Kind kind, const std::string& reason) {
  switch (kind) {
    case TransferError::Kind::rejected: return "Karşı taraf reddetti: " + reason;
    case TransferError::Kind::cancelled: return "İptal edildi: " + reason;
    case TransferError::Kind::timeout: return "Karşı taraf yanıt vermedi";
    case TransferError::Kind::tooLarge: return "Dosya çok büyük (en çok 8 GB)";
  }
  return {};
}
}  // namespace

TransferError::TransferError(Kind kind, std::string reason)
    : kind_(kind), reason_(std::move(reason)), description_(describe(kind_, reason_)) {}

}  // namespace pellora
