# Precompiled headers: every translation unit pulls in Qt and the standard
# library, which costs far more to parse than our own code.
set(TESSALINE_PCH_CORE
  <QObject> <QString> <QStringList> <QVariant> <QByteArray> <QTimer> <QPointer>
  <QJsonArray> <QJsonDocument> <QJsonObject>
  <algorithm> <chrono> <cstdint> <cstring> <filesystem> <functional> <map> <memory>
  <mutex> <optional> <span> <string> <string_view> <thread> <utility> <vector>)
set(TESSALINE_PCH_TESTS ${TESSALINE_PCH_CORE}
  <QCoreApplication> <QProcess> <QSignalSpy> <QTest>
  <gtest/gtest.h> <gmock/gmock.h>)
set(TESSALINE_PCH_WIDGET_HEADERS
  <QApplication> <QWidget> <QLabel> <QPushButton> <QLineEdit> <QCheckBox> <QComboBox>
  <QMessageBox> <QMainWindow> <QTableView>)
set(TESSALINE_PCH_WIDGETS ${TESSALINE_PCH_CORE} ${TESSALINE_PCH_WIDGET_HEADERS})
set(TESSALINE_PCH_WIDGET_TESTS ${TESSALINE_PCH_TESTS} ${TESSALINE_PCH_WIDGET_HEADERS})
