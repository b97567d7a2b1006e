#include "app/session_content_model.h"

#include <QDir>

#include <algorithm>

#include "app/value_transformers.h"

namespace tessaline {

SessionContentModel::SessionContentModel(QObject* parent) : QAbstractTableModel(parent), selection_(this) {}

int SessionContentModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int SessionContentModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

namespace {

// A folder as the user knows it: the home folder as "~".
QString folderText(const std::filesystem::path& folder) {
  const QString shown = displayPath(folder);
  const QString home = QDir::homePath();
  if (home.size() > 1 && (shown == home || shown.startsWith(home + QLatin1Char('/'))))
    return QLatin1Char('~') + shown.mid(home.size());
  return shown;
}

}  // namespace

QString megabytesText(double megabytes) {
  if (megabytes > 0.0 && megabytes < 0.005) return QStringLiteral("< 0.01");
  return QString::number(megabytes, 'f', 2);
}

QVariant SessionContentModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
  const BurnItem& item = items_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == NameColumn) return displayName(item.aPathComponent);
      if (index.column() == LocationColumn)
        return item.permanent() ? QStringLiteral("on the disc") : folderText(item.aPath.parent_path());
      // The disc's entries take no room in the next session: no size to show.
      return item.permanent() ? QString() : megabytesText(item.sizeInMB);
    case Qt::DecorationRole: return index.column() == NameColumn ? item.aIcon : QVariant();
    case Qt::ToolTipRole:
      if (item.permanent())
        return QStringLiteral("On the disc: %1\nWritten in an earlier session; a source of the same name replaces it.")
            .arg(displayPath(item.aPath));
      return QStringLiteral("Source: %1\n%2")
          .arg(displayPath(item.aPath), item.rememberedByDisc
                                            ? QStringLiteral("Remembered by the disc; what is new or newer goes into "
                                                             "the next session.")
                                            : QStringLiteral("What is new or newer goes into the next session."));
    case Qt::TextAlignmentRole:
      return index.column() == SizeColumn ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
    case PathRole: return QByteArray::fromStdString(item.aPath.native());
    case PathComponentRole: return QByteArray::fromStdString(item.aPathComponent);
    case IsPermanentRole: return QString::fromStdString(item.isPermanent);
    case SizeInMBRole: return item.sizeInMB;
    case TextColourRole:
      return transformers_ != nullptr
                 ? transformers_->transform(QStringLiteral("PermanentToColourTransformer"),
                                            QString::fromStdString(item.isPermanent))
                 : QVariant();
    default: return {};
  }
}

QVariant SessionContentModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == NameColumn) return QStringLiteral("Name");
  return section == LocationColumn ? QStringLiteral("Where") : QStringLiteral("Size (MB)");
}

Qt::ItemFlags SessionContentModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // Permanent rows are shown but can never be selected, so Remove cannot touch them.
  const bool permanent = items_[static_cast<std::size_t>(index.row())].permanent();
  return permanent ? Qt::ItemIsEnabled : Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QHash<int, QByteArray> SessionContentModel::roleNames() const {
  auto roles = QAbstractTableModel::roleNames();
  roles[PathRole] = "aPath";
  roles[PathComponentRole] = "aPathComponent";
  roles[IsPermanentRole] = "isPermanent";
  roles[SizeInMBRole] = "sizeInMB";
  return roles;
}

void SessionContentModel::addObject(BurnItem item) {
  const int row = rowCount();
  beginInsertRows({}, row, row);
  items_.push_back(std::move(item));
  endInsertRows();
  Q_EMIT totalChanged(sumSizeInMB());
}

void SessionContentModel::removeObjectAt(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  items_.erase(items_.begin() + row);
  endRemoveRows();
  Q_EMIT totalChanged(sumSizeInMB());
}

void SessionContentModel::removeSelected() {
  std::vector<int> rows;
  for (const QModelIndex& index : selection_.selectedRows()) rows.push_back(index.row());
  std::sort(rows.rbegin(), rows.rend());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  for (int row : rows) removeObjectAt(row);
  selection_.clearSelection();
}

void SessionContentModel::removeAll() {
  if (items_.empty()) return;
  beginResetModel();
  items_.clear();
  endResetModel();
  selection_.clearSelection();
  Q_EMIT totalChanged(0.0);
}

void SessionContentModel::setSizeInMB(int row, double sizeInMB) {
  if (row < 0 || row >= rowCount()) return;
  items_[static_cast<std::size_t>(row)].sizeInMB = sizeInMB;
  const QModelIndex cell = index(row, SizeColumn);
  Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole, SizeInMBRole});
  Q_EMIT totalChanged(sumSizeInMB());
}

double SessionContentModel::sumSizeInMB() const {
  double sum = 0.0;
  for (const BurnItem& item : items_) sum += item.sizeInMB;
  return sum;
}

}  // namespace tessaline
