#include "gui/widget_parts.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tessaline::gui {

void BarIndicator::setIndeterminate(bool on) {
  if (on) {
    bar_->setRange(0, 0);
  } else if (bar_->maximum() == 0) {
    bar_->setRange(0, 1000);
    bar_->setValue(0);
  }
}

void BarIndicator::setDoubleValue(double percent) {
  if (!std::isfinite(percent)) percent = 0.0;
  // The watcher may report beyond 100 (the size is an estimate): the bar stays full.
  const double clamped = std::clamp(percent, 0.0, 100.0);
  if (bar_->maximum() != 1000) bar_->setRange(0, 1000);
  bar_->setValue(static_cast<int>(std::lround(clamped * 10.0)));
}

BusySpinner::BusySpinner(QWidget* parent) : QWidget(parent) {
  setFixedSize(sizeHint());
  timer_.setInterval(80);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % 12;
    update();
  });
  setToolTip(tr("Computing sizes"));
}

void BusySpinner::startAnimation() {
  if (depth_++ > 0) return;
  timer_.start();
  update();
  // Paint now: the walk that follows holds the main thread.
  if (isVisible()) repaint();
}

void BusySpinner::stopAnimation() {
  if (depth_ == 0) return;
  if (--depth_ > 0) return;
  timer_.stop();
  update();
}

void BusySpinner::paintEvent(QPaintEvent*) {
  if (depth_ == 0) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(width() / 2.0, height() / 2.0);
  const QColor base = palette().color(QPalette::WindowText);
  const double radius = std::min(width(), height()) / 2.0;
  for (int i = 0; i < 12; ++i) {
    QColor c = base;
    c.setAlphaF(static_cast<float>(0.15 + 0.85 * ((i + 12 - step_) % 12) / 11.0));
    p.setPen(QPen(c, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius * 0.9));
    p.rotate(30.0);
  }
}

int ComboPopUpMenu::selectedTag() const {
  const QVariant tag = combo_->currentData();
  return tag.isValid() ? tag.toInt() : 0;
}

void fillSpeedMenu(QComboBox* combo, const std::vector<int>& speeds) {
  const QVariant chosen = combo->currentData();
  combo->clear();
  combo->addItem(QObject::tr("Maximum"), 0);
  for (int speed : speeds) combo->addItem(QStringLiteral("%1x").arg(speed), speed);
  combo->setCurrentIndex(std::max(0, combo->findData(chosen)));
  combo->setToolTip(speeds.empty() ? QObject::tr("The writer tells the speeds it allows once it has a writable disc "
                                                 "(a drive: once it has written or erased one).")
                                   : QObject::tr("The speeds this writer allows for this disc."));
}

void CapacityBar::setNextSession(int thousandths, bool fits) {
  next_ = std::max(0, thousandths);
  fits_ = fits;
  update();
}

void CapacityBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const QPalette& pal = palette();
  p.setPen(pal.color(QPalette::Mid));
  p.setBrush(pal.color(QPalette::Base));
  p.drawRoundedRect(frame, 3, 3);
  if (maximum() <= minimum()) return;
  const double span = maximum() - minimum();
  const QRectF inner = frame.adjusted(1, 1, -1, -1);
  const double used = std::clamp((value() - minimum()) / span, 0.0, 1.0);
  const double next = std::clamp(next_ / span, 0.0, 1.0 - used);
  QColor usedColour = pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Highlight);
  p.setPen(Qt::NoPen);
  p.setBrush(usedColour);
  p.drawRect(QRectF(inner.left(), inner.top(), inner.width() * used, inner.height()));
  if (next_ <= 0) return;
  QColor nextColour = fits_ ? usedColour : QColor(200, 40, 40);
  nextColour.setAlpha(fits_ ? 110 : 200);
  // A session that does not fit fills the rest of the bar.
  const double width = fits_ ? next : 1.0 - used;
  p.setBrush(nextColour);
  p.drawRect(QRectF(inner.left() + inner.width() * used, inner.top(), inner.width() * width, inner.height()));
}

QValidator::State CDNameValidator::validate(QString& input, int& pos) const {
  return formatter_->isPartialStringValid(input, pos) ? Acceptable : Invalid;
}

QString NameFieldAdapter::stringValue() const {
  if (formatter_) return formatter_->getObjectValue(field_->text());
  return field_->text();
}

void NameFieldAdapter::setFormatter(std::shared_ptr<CDNameFormatter> formatter) {
  formatter_ = std::move(formatter);
  field_->setValidator(new CDNameValidator(formatter_, field_));
  // An empty value displays as the default name.
  field_->setPlaceholderText(formatter_->stringForObjectValue(std::nullopt));
}

}  // namespace tessaline::gui
