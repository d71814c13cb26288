#include "archive/ZipFormat.h"

namespace zipfmt {

std::uint32_t ToDosTime(const QDateTime& time) {
  const QDateTime local = time.toLocalTime();
  const QDate d = local.date();
  const QTime t = local.time();
  if (!local.isValid() || d.year() < 1980) return (1u << 5 | 1u) << 16;
  if (d.year() > 2107) return ((127u << 9) | (12u << 5) | 31u) << 16 | (23u << 11) | (59u << 5) | 29u;
  const std::uint32_t date = (static_cast<std::uint32_t>(d.year() - 1980) << 9) |
                             (static_cast<std::uint32_t>(d.month()) << 5) | static_cast<std::uint32_t>(d.day());
  const std::uint32_t clock = (static_cast<std::uint32_t>(t.hour()) << 11) |
                              (static_cast<std::uint32_t>(t.minute()) << 5) |
                              static_cast<std::uint32_t>(t.second() / 2);
  return date << 16 | clock;
}

QDateTime FromDosTime(std::uint32_t dosTime) {
  const std::uint32_t date = dosTime >> 16, clock = dosTime & 0xFFFF;
  const QDate d(static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 0x0F),
                static_cast<int>(date & 0x1F));
  const QTime t(static_cast<int>(clock >> 11), static_cast<int>((clock >> 5) & 0x3F),
                static_cast<int>((clock & 0x1F) * 2));
  return QDateTime(d, t.isValid() ? t : QTime(0, 0));
}

}  // namespace zipfmt
