// A box for whole numbers within limits, with at most a given number of digits,
// shown plain ("0") or with the locale's thousands separators (",0").
#pragma once

#include <QLineEdit>

class TNumberEdit : public QLineEdit {
  Q_OBJECT
public:
  TNumberEdit(QWidget* parent, const char* name, qint64 minValue, qint64 maxValue, int maxDigits,
              bool thousands);

  qint64 MinValue() const { return FMin; }
  qint64 MaxValue() const { return FMax; }
  // The number typed, brought within the limits; an empty box gives the lower limit.
  qint64 Value() const;
  // Shows value, brought within the limits.
  void SetValue(qint64 value);

protected:
  // Leaving the box shows the value that will be taken.
  void focusOutEvent(QFocusEvent* event) override;

private:
  QString Format(qint64 value) const;
  qint64 FMin, FMax;
  bool FThousands;
};
