#pragma once
// Small adapters from widgets to the parts the controller asks of its
// window: a progress bar, the spinner, a pop-up menu and the volume-name
// field with its formatter.

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QValidator>
#include <QWidget>

#include <memory>
#include <vector>

#include "app/cd_name_formatter.h"
#include "app/window_parts.h"

namespace tessaline::gui {

// A QProgressBar as a progress indicator: indeterminate is Qt's busy bar,
// a percentage is shown in tenths.
class BarIndicator : public ProgressIndicator {
 public:
  explicit BarIndicator(QProgressBar* bar) : bar_(bar) {}
  void setUsesThreadedAnimation(bool) override {}
  void setIndeterminate(bool on) override;
  void setDoubleValue(double percent) override;
  void startAnimation() override {}
  void stopAnimation() override {}
  QProgressBar* bar() const { return bar_; }

 private:
  QProgressBar* bar_;
};

// The small busy indicator beside the writer menu. Size walks run on the
// main thread, so the indicator paints itself at once when it starts: the
// user sees it during the walk even though nothing animates then.
class BusySpinner : public QWidget, public ProgressIndicator {
  Q_OBJECT
 public:
  explicit BusySpinner(QWidget* parent = nullptr);
  void setUsesThreadedAnimation(bool) override {}
  void setIndeterminate(bool) override {}
  void setDoubleValue(double) override {}
  void startAnimation() override;
  void stopAnimation() override;
  bool isAnimating() const { return depth_ > 0; }
  QSize sizeHint() const override { return {18, 18}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int step_ = 0;
  int depth_ = 0;  // start/stop pairs nest (a refresh walks several items)
};

// A QComboBox as a pop-up menu; an item's tag is its user data.
class ComboPopUpMenu : public PopUpMenu {
 public:
  explicit ComboPopUpMenu(QComboBox* combo) : combo_(combo) {}
  void removeAllItems() override { combo_->clear(); }
  void addItem(const QString& title) override { combo_->addItem(title); }
  void selectItemAtIndex(int index) override { combo_->setCurrentIndex(index); }
  int indexOfSelectedItem() const override { return combo_->currentIndex(); }
  int selectedTag() const override;
  QComboBox* combo() const { return combo_; }

 private:
  QComboBox* combo_;
};

// The speed menu's items: "Maximum" (tag 0), then the speeds the writer
// allows for its disc, as multiples of 150 KB/s tagged with the multiple.
// The chosen speed stays chosen while it is offered.
void fillSpeedMenu(QComboBox* combo, const std::vector<int>& speeds);

// The disc's capacity: what is used, and in a second shade what the next
// session would take (red when it does not fit).
class CapacityBar : public QProgressBar {
  Q_OBJECT
 public:
  using QProgressBar::QProgressBar;
  // Both in thousandths of the disc, like value().
  void setNextSession(int thousandths, bool fits);
  int nextSession() const { return next_; }
  bool nextSessionFits() const { return fits_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int next_ = 0;
  bool fits_ = true;
};

// Lets only the edits the volume-name formatter allows reach the field.
class CDNameValidator : public QValidator {
  Q_OBJECT
 public:
  CDNameValidator(std::shared_ptr<CDNameFormatter> formatter, QObject* parent = nullptr)
      : QValidator(parent), formatter_(std::move(formatter)) {}
  State validate(QString& input, int& pos) const override;

 private:
  std::shared_ptr<CDNameFormatter> formatter_;
};

// The volume-name field: its value is the formatter's object value (one
// space for an empty text); an empty field shows the default name.
class NameFieldAdapter : public TextField {
 public:
  explicit NameFieldAdapter(QLineEdit* field) : field_(field) {}
  QString stringValue() const override;
  void setFormatter(std::shared_ptr<CDNameFormatter> formatter) override;
  QLineEdit* field() const { return field_; }

 private:
  QLineEdit* field_;
  std::shared_ptr<CDNameFormatter> formatter_;
};

}  // namespace tessaline::gui
