#include "ui/dialogs/NumberEdit.h"

#include <QLocale>
#include <QValidator>
#include <algorithm>

namespace {

// Digits only (the thousands separator may stand between them), at most maxDigits of them.
class TDigitsValidator : public QValidator {
public:
  TDigitsValidator(QObject* parent, int maxDigits) : QValidator(parent), FMaxDigits(maxDigits) {}
  State validate(QString& input, int&) const override {
    const QChar separator = QLocale().groupSeparator().isEmpty() ? QChar(',')
                                                                         : QLocale().groupSeparator()[0];
    int digits = 0;
    for (const QChar c : input) {
      if (c >= '0' && c <= '9')
        ++digits;
      else if (c != separator)
        return Invalid;
    }
    if (digits > FMaxDigits) return Invalid;
    return digits == 0 ? Intermediate : Acceptable;
  }

private:
  int FMaxDigits;
};

}  // namespace

TNumberEdit::TNumberEdit(QWidget* parent, const char* name, qint64 minValue, qint64 maxValue, int maxDigits,
                         bool thousands)
    : QLineEdit(parent), FMin(minValue), FMax(maxValue), FThousands(thousands) {
  setObjectName(name);
  setValidator(new TDigitsValidator(this, maxDigits));
  setAlignment(Qt::AlignLeft);
  SetValue(FMin);
}

void TNumberEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  SetValue(Value());
}

qint64 TNumberEdit::Value() const {
  QString digits;
  for (const QChar c : text())
    if (c >= '0' && c <= '9') digits += c;
  bool ok = false;
  const qint64 typed = digits.toLongLong(&ok);
  return std::clamp(ok ? typed : FMin, FMin, FMax);
}

void TNumberEdit::SetValue(qint64 value) {
  const QString shown = Format(std::clamp(value, FMin, FMax));
  if (shown != text()) setText(shown);
}

QString TNumberEdit::Format(qint64 value) const {
  if (!FThousands) return QString::number(value);
  QLocale locale;
  locale.setNumberOptions(QLocale::DefaultNumberOptions);
  return locale.toString(value);
}
