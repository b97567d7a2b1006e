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

void fillSpeedMenu(QComboBox* combo) {
  combo->clear();
  combo->addItem(QObject::tr("Maximum"), 0);
  for (int speed : {1, 2, 4, 8, 10, 12, 16, 20, 24, 32, 40, 48, 52})
    combo->addItem(QStringLiteral("%1x").arg(speed), speed);
  combo->setCurrentIndex(0);
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
