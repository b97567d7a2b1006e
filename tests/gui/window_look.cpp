#include "window_look.h"

#include <QAbstractItemView>
#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaEnum>
#include <QProgressBar>
#include <QTableView>
#include <QTableWidget>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tessaline::test {
namespace {

template <typename E>
std::string key(E value) {
  const QMetaEnum meta = QMetaEnum::fromType<E>();
  return (meta.isFlag() ? meta.valueToKeys(static_cast<int>(value)) : QByteArray(meta.valueToKey(static_cast<int>(value))))
      .toStdString();
}

std::string size(const QSize& s) {
  const auto side = [](int v) { return v >= QWIDGETSIZE_MAX ? std::string("-") : std::to_string(v); };
  return side(s.width()) + "x" + side(s.height());
}

std::string margins(const QMargins& m) {
  return std::to_string(m.left()) + "," + std::to_string(m.top()) + "," + std::to_string(m.right()) + "," +
         std::to_string(m.bottom());
}

class LookWriter {
 public:
  std::string text() const { return out_.str(); }

  void window(const QWidget& w) {
    if (const auto* main = qobject_cast<const QMainWindow*>(&w)) {
      line(0, describe(w) + " size " + size(w.size()));
      for (const QAction* a : main->menuBar()->actions())
        if (a->menu()) menu(*a->menu(), 1);
      widget(*main->centralWidget(), 1);
      return;
    }
    line(0, describe(w));  // a dialog's size follows its texts
    children(w, 1);
  }

 private:
  void line(int depth, const std::string& s) { out_ << std::string(static_cast<std::size_t>(depth) * 2, ' ') << s << '\n'; }

  // What the user sees of a control, apart from its text and the font's metrics.
  static std::string describe(const QWidget& w) {
    std::string s = w.metaObject()->className();
    if (!w.objectName().isEmpty()) s += "#" + w.objectName().toStdString();
    const auto add = [&](const std::string& part) { s += " " + part; };
    if (!w.isWindow()) {
      if (w.isHidden()) add("hidden");
      if (w.minimumSize() != QSize(0, 0)) add("min " + size(w.minimumSize()));
      if (w.maximumSize() != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX)) add("max " + size(w.maximumSize()));
    } else {
      if (w.windowModality() != Qt::NonModal) add(key(w.windowModality()));
      if (w.testAttribute(Qt::WA_DeleteOnClose)) add("deleteOnClose");
    }
    if (!w.isEnabled()) add("disabled");
    const QFont base = QApplication::font();
    if (w.font().bold() != base.bold()) add(w.font().bold() ? "bold" : "notBold");
    if (w.font().pointSizeF() != base.pointSizeF())
      add("font*" + QString::number(w.font().pointSizeF() / base.pointSizeF(), 'f', 2).toStdString());
    if (w.autoFillBackground())
      add(w.palette().brush(QPalette::Window).style() == Qt::TexturePattern ? "patterned" : "filled");
    if (w.contentsMargins() != QMargins()) add("margins " + margins(w.contentsMargins()));
    if (!w.toolTip().isEmpty()) add("tip");
    if (w.acceptDrops()) add("drops");
    if (const auto* label = qobject_cast<const QLabel*>(&w)) {
      if (label->wordWrap()) add("wrap");
      if (label->alignment() != (Qt::AlignLeft | Qt::AlignVCenter)) add(key(label->alignment()));
      if (label->buddy()) add("buddy " + label->buddy()->objectName().toStdString());
      if (label->textInteractionFlags() & Qt::TextSelectableByMouse) add("selectable");
    } else if (const auto* frame = qobject_cast<const QFrame*>(&w);
               frame && !qobject_cast<const QAbstractScrollArea*>(&w) && frame->frameShape() != QFrame::NoFrame) {
      add(key(frame->frameShape()));
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&w); button && button->isCheckable()) add("checkable");
    if (const auto* button = qobject_cast<const QPushButton*>(&w); button && button->isDefault()) add("default");
    if (const auto* combo = qobject_cast<const QComboBox*>(&w)) {
      add(key(combo->sizeAdjustPolicy()));
      if (combo->minimumContentsLength() != 0) add("chars " + std::to_string(combo->minimumContentsLength()));
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(&w)) {
      add("maxLength " + std::to_string(edit->maxLength()));
      if (edit->validator()) add("validated");
      if (!edit->placeholderText().isEmpty()) add("placeholder");
    }
    if (const auto* bar = qobject_cast<const QProgressBar*>(&w)) {
      add("range " + std::to_string(bar->minimum()) + ".." + std::to_string(bar->maximum()));
      if (!bar->isTextVisible()) add("noText");
    }
    if (const auto* view = qobject_cast<const QAbstractItemView*>(&w)) {
      add(key(view->selectionBehavior()) + " " + key(view->selectionMode()) + " edit " + key(view->editTriggers()));
      if (view->alternatingRowColors()) add("alternating");
      add("icons " + size(view->iconSize()));
      if (view->textElideMode() != Qt::ElideRight) add(key(view->textElideMode()));
    }
    if (const auto* table = qobject_cast<const QTableView*>(&w)) {
      if (!table->showGrid()) add("noGrid");
      if (!table->wordWrap()) add("noWrap");
      const bool setSizes = !qobject_cast<const QTableWidget*>(&w);
      add("| rows " + header(*table->verticalHeader(), setSizes));
      add("| columns " + header(*table->horizontalHeader(), setSizes));
    }
    return s;
  }

  // A table's header. The sizes shown are those the window sets: a table that
  // fits itself to its contents has sizes that follow the font.
  static std::string header(const QHeaderView& h, bool setSizes) {
    std::string s = h.isHidden() ? "hidden" : "shown";
    if (h.orientation() == Qt::Vertical) return setSizes ? s + " height " + std::to_string(h.defaultSectionSize()) : s;
    if (!h.highlightSections()) s += " noHighlight";
    if (h.stretchLastSection()) s += " stretchLast";
    s += " " + key(h.defaultAlignment());
    for (int i = 0; i < h.count(); ++i) {
      s += " [" + key(h.sectionResizeMode(i));
      if (setSizes && h.sectionResizeMode(i) == QHeaderView::Interactive) s += " " + std::to_string(h.sectionSize(i));
      // How the column's cells place their text, as its first row shows.
      if (const QVariant cells = h.model()->index(0, i).data(Qt::TextAlignmentRole); cells.isValid())
        s += " cells " + key(Qt::Alignment(cells.toInt()));
      s += "]";
    }
    return s;
  }

  void widget(const QWidget& w, int depth, const std::string& placement = {}) {
    line(depth, placement + describe(w));
    if (const auto* box = qobject_cast<const QDialogButtonBox*>(&w)) {
      for (const QAbstractButton* b : box->buttons())
        line(depth + 1, describe(*b) + " role " + std::to_string(box->buttonRole(const_cast<QAbstractButton*>(b))));
      return;
    }
    if (qobject_cast<const QAbstractScrollArea*>(&w) || qobject_cast<const QComboBox*>(&w)) return;
    children(w, depth + 1);
  }

  // The widget's layout, then the children it does not place (windows of their own aside).
  void children(const QWidget& w, int depth) {
    const QLayout* l = w.layout();
    if (l) layout(*l, depth);
    for (const QWidget* child : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (!child->isWindow() && !(l && placed(*l, *child))) widget(*child, depth, "unplaced ");
  }

  static bool placed(const QLayout& l, const QWidget& child) {
    for (int i = 0; i < l.count(); ++i) {
      QLayoutItem* item = l.itemAt(i);
      if (item->widget() == &child || (item->layout() && placed(*item->layout(), child))) return true;
    }
    return false;
  }

  void layout(const QLayout& l, int depth) {
    std::string s = l.metaObject()->className();
    s += " margins " + margins(l.contentsMargins());
    const auto* grid = qobject_cast<const QGridLayout*>(&l);
    if (grid) {
      s += " spacing " + std::to_string(grid->horizontalSpacing()) + "," + std::to_string(grid->verticalSpacing());
      for (int c = 0; c < grid->columnCount(); ++c)
        if (grid->columnStretch(c) != 0) s += " column" + std::to_string(c) + "*" + std::to_string(grid->columnStretch(c));
      for (int r = 0; r < grid->rowCount(); ++r)
        if (grid->rowStretch(r) != 0) s += " row" + std::to_string(r) + "*" + std::to_string(grid->rowStretch(r));
    } else {
      s += " spacing " + std::to_string(l.spacing());
    }
    if (l.sizeConstraint() != QLayout::SetDefaultConstraint) s += " " + key(l.sizeConstraint());
    line(depth, s);
    const auto* box = qobject_cast<const QBoxLayout*>(&l);
    for (int i = 0; i < l.count(); ++i) {
      QLayoutItem* item = l.itemAt(i);
      std::string at;
      if (grid) {
        int row = 0, column = 0, rows = 0, columns = 0;
        grid->getItemPosition(i, &row, &column, &rows, &columns);
        at = "at " + std::to_string(row) + "," + std::to_string(column) + " span " + std::to_string(rows) + "x" +
             std::to_string(columns) + " ";
      }
      if (box && box->stretch(i) != 0) at += "stretch " + std::to_string(box->stretch(i)) + " ";
      if (item->alignment() != Qt::Alignment()) at += key(item->alignment()) + " ";
      if (item->widget()) {
        widget(*item->widget(), depth + 1, at);
      } else if (item->layout()) {
        if (!at.empty()) line(depth + 1, at);
        layout(*item->layout(), depth + 1);
      } else if (const QSpacerItem* spacer = item->spacerItem()) {
        const QSizePolicy p = spacer->sizePolicy();
        line(depth + 1, at + "spacer " + size(spacer->sizeHint()) +
                            (p.horizontalPolicy() == QSizePolicy::Expanding || p.verticalPolicy() == QSizePolicy::Expanding
                                 ? " expanding"
                                 : ""));
      }
    }
  }

  void menu(const QMenu& m, int depth) {
    line(depth, "menu " + m.title().toStdString() + (m.objectName().isEmpty() ? "" : " #" + m.objectName().toStdString()));
    for (const QAction* a : m.actions()) {
      if (a->isSeparator()) {
        line(depth + 1, "---");
      } else if (a->menu()) {
        menu(*a->menu(), depth + 1);
      } else {
        std::string s = a->text().toStdString() + " #" + a->objectName().toStdString();
        if (!a->shortcut().isEmpty()) s += " " + a->shortcut().toString(QKeySequence::PortableText).toStdString();
        if (a->shortcutContext() != Qt::WindowShortcut) s += " " + key(a->shortcutContext());
        if (a->menuRole() != QAction::TextHeuristicRole) s += " " + key(a->menuRole());
        if (a->isCheckable()) s += " checkable";
        if (!a->isEnabled()) s += " disabled";
        line(depth + 1, s);
      }
    }
  }

  std::ostringstream out_;
};

}  // namespace

std::string describeLook(const QWidget& window) {
  LookWriter writer;
  writer.window(window);
  return writer.text();
}

void expectLook(const QWidget& window, const std::string& name) {
  const std::string path = std::string(TESSALINE_SOURCE_DIR) + "/tests/gui/looks/" + name + ".txt";
  const std::string look = describeLook(window);
  if (std::getenv("TESSALINE_UPDATE_LOOKS") != nullptr) {
    std::ofstream(path, std::ios::binary) << look;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const std::string recorded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(look, recorded) << "The look of " << name << " changed. If that was meant, run the test with "
                            << "TESSALINE_UPDATE_LOOKS=1 to record it in " << path;
}

}  // namespace tessaline::test
