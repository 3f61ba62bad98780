#include "options/number_spin.h"

#include <QLineEdit>
#include <algorithm>
#include <limits>

int32_t LeadingNumber(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    int64_t number = 0;
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        number = std::min(kMax, number * 10 + (text[at] - '0'));
    }
    return static_cast<int32_t>(number);
}

KtNumberSpin::KtNumberSpin(int minimum, int maximum, QWidget* parent)
    : QAbstractSpinBox(parent), minimum_(minimum), maximum_(maximum) {
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(false);
    // Text set through the accessibility bus counts as typed.
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { lineEdit()->setModified(true); });
    SetPosition(minimum);
}

int KtNumberSpin::Position() const {
    const std::string text = lineEdit()->text().toStdString();
    return std::clamp(static_cast<int>(LeadingNumber(text)), minimum_, maximum_);
}

void KtNumberSpin::SetPosition(int value) {
    lineEdit()->setText(QString::number(value));
    lineEdit()->setModified(false);
}

void KtNumberSpin::SetValue(int value) {
    const int held = std::clamp(value, minimum_, maximum_);
    SetPosition(held);
    if (onStored_) onStored_(held);
}

bool KtNumberSpin::IsModified() const {
    return lineEdit()->isModified();
}

void KtNumberSpin::StoreIfModified() {
    // Without a store the typed text stays as typed (the caller reads it).
    if (!IsModified() || !onStored_) return;
    const int typed = LeadingNumber(lineEdit()->text().toStdString());
    const int value = std::clamp(typed, minimum_, maximum_);
    if (value != typed) lineEdit()->setText(QString::number(value));
    lineEdit()->setModified(false);
    if (onStored_) onStored_(value);
}

void KtNumberSpin::stepBy(int steps) {
    if (steps == 0) return;
    const int position = Position();
    int step = steps > 0 ? 1 : -1;
    if (stepRule_) step = stepRule_(position, step);
    const int moved = std::clamp(position + step, minimum_, maximum_);
    SetPosition(moved);
    if (onStepped_) onStepped_(moved);
}

QValidator::State KtNumberSpin::validate(QString& input, int&) const {
    for (const QChar c : input) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return QValidator::Invalid;
    }
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled KtNumberSpin::stepEnabled() const {
    // Both arrows always answer: at a range end the step rule still runs and
    // the position (held at the end) is stored again.
    return StepUpEnabled | StepDownEnabled;
}

void KtNumberSpin::focusOutEvent(QFocusEvent* event) {
    StoreIfModified();
    QAbstractSpinBox::focusOutEvent(event);
}
