#pragma once

#include <QAbstractSpinBox>
#include <QLineEdit>
#include <cstdint>
#include <functional>
#include <string_view>

// Leading decimal number of a text: optional blanks, then digits; 0 when
// there are none. A number past what 32 bits hold saturates, so that a pasted
// 99999999999 reaches the upper bound of a range instead of wrapping around.
int32_t LeadingNumber(std::string_view text);

// A number edit with its up-down arrows: the edit takes digits only; the
// arrows ask the step rule for the step, move the position held within the
// range and report it. A typed text is left alone until StoreIfModified.
class KtNumberSpin : public QAbstractSpinBox {
    Q_OBJECT
    // Read and written by the accessibility bridge (a screen reader's value
    // interface); a value written there is stored as a typed one.
    Q_PROPERTY(int value READ Position WRITE SetValue)
    Q_PROPERTY(int minimum READ Minimum CONSTANT)
    Q_PROPERTY(int maximum READ Maximum CONSTANT)

  public:
    // Gets the current position and the step (+1 or -1) and answers the step
    // to take (0 to stay).
    using StepRule = std::function<int(int position, int step)>;

    KtNumberSpin(int minimum, int maximum, QWidget* parent = nullptr);

    int Minimum() const { return minimum_; }
    int Maximum() const { return maximum_; }
    // The number the edit shows, held within the range.
    int Position() const;
    // Shows the number; clears the modified mark.
    void SetPosition(int value);
    bool IsModified() const;
    // Shows the value brought into the range and reports it through OnStored.
    void SetValue(int value);
    QLineEdit* Edit() const { return lineEdit(); }

    void SetStepRule(StepRule rule) { stepRule_ = std::move(rule); }
    // Called with the new position after every arrow step.
    void SetOnStepped(std::function<void(int)> onStepped) { onStepped_ = std::move(onStepped); }
    // Called with the stored value when a typed text was stored.
    void SetOnStored(std::function<void(int)> onStored) { onStored_ = std::move(onStored); }

    // When the user changed the text since the last store: takes its leading
    // number, brings it to the nearest bound (writing the bound back) and
    // reports it through OnStored. Runs on focus loss and whenever the window
    // must not lose a typed value (OK, page switch).
    void StoreIfModified();

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

  protected:
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    int minimum_;
    int maximum_;
    StepRule stepRule_;
    std::function<void(int)> onStepped_;
    std::function<void(int)> onStored_;
};
