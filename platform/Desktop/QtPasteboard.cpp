#include "platform/Desktop/QtPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include "platform/Desktop/detail/FreshServerTime.h"

namespace platform::desktop {
namespace {
QClipboard* clipboard() { return QGuiApplication::clipboard(); }

// Targets of the selection protocol itself, and the image Qt makes up from the owner's image formats
// (those formats are kept, with their own bytes).
bool isContent(const QString& format) {
  static const QStringList protocol = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE", "INCR",
                                       "application/x-qt-image"};
  return !protocol.contains(format);
}
QClipboard::Mode modeOf(QtPasteboard::Selection selection) {
  return selection == QtPasteboard::Selection::primary ? QClipboard::Selection : QClipboard::Clipboard;
}
}  // namespace

PasteboardSnapshot QtPasteboard::items() const {
  const QMimeData* data = clipboard()->mimeData(modeOf(selection_));
  if (!data) return {};
  PasteboardItem item;
  for (const QString& format : data->formats()) {
    if (!isContent(format)) continue;
    QByteArray bytes = data->data(format);
    if (bytes.isNull()) continue;  // the owner gave nothing for it
    item.emplace(format.toStdString(), std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }
  if (item.empty()) return {};
  return {std::move(item)};
}

void QtPasteboard::clearContents() { clipboard()->clear(modeOf(selection_)); }

void QtPasteboard::setString(const std::string& text) {
  auto* data = new QMimeData();
  data->setText(QString::fromStdString(text));
  offer(data);
}

std::optional<std::string> QtPasteboard::string() const {
  const QMimeData* data = clipboard()->mimeData(modeOf(selection_));
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

void QtPasteboard::writeItems(const PasteboardSnapshot& items) {
  auto* data = new QMimeData();
  for (const auto& item : items)
    for (const auto& [type, bytes] : item) {
      QString format = QString::fromStdString(type);
      if (!data->hasFormat(format)) data->setData(format, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    }
  offer(data);
}

void QtPasteboard::offer(QMimeData* data) {
  detail::refreshServerTime();
  clipboard()->setMimeData(data, modeOf(selection_));  // Qt owns it from here
}

}  // namespace platform::desktop
