#include "platform/Desktop/QtPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace platform::desktop {
namespace {
QClipboard* clipboard() { return QGuiApplication::clipboard(); }
}  // namespace

parlet::PasteboardSnapshot QtPasteboard::items() const {
  const QMimeData* data = clipboard()->mimeData(QClipboard::Clipboard);
  if (!data) return {};
  parlet::PasteboardItem item;
  for (const QString& format : data->formats()) {
    QByteArray bytes = data->data(format);
    if (bytes.isNull()) continue;  // the owner gave nothing for it
    item.emplace(format.toStdString(), std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }
  if (item.empty()) return {};
  return {std::move(item)};
}

void QtPasteboard::clearContents() { clipboard()->clear(QClipboard::Clipboard); }

void QtPasteboard::setString(const std::string& text) {
  clipboard()->setText(QString::fromStdString(text), QClipboard::Clipboard);
}

std::optional<std::string> QtPasteboard::string() const {
  const QMimeData* data = clipboard()->mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

void QtPasteboard::writeItems(const parlet::PasteboardSnapshot& items) {
  auto* data = new QMimeData();
  for (const auto& item : items)
    for (const auto& [type, bytes] : item) {
      QString format = QString::fromStdString(type);
      if (!data->hasFormat(format)) data->setData(format, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    }
  clipboard()->setMimeData(data, QClipboard::Clipboard);  // the clipboard owns it
}

}  // namespace platform::desktop
