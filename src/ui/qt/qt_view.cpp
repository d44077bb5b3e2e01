#include "ui/qt/qt_view.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>

namespace korvane {
namespace {

QString Text(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

void QtView::MessageBox(const std::string& text) {
  ShowMessage(window_ ? window_->windowTitle().toStdString() : std::string(), text);
}

void QtView::ShowMessage(const std::string& title, const std::string& text) {
  if (!window_) return fallback_.ShowMessage(title, text);
  QWidget* window = window_;
  QMetaObject::invokeMethod(window, [window, title, text] {
    auto* box = new QMessageBox(QMessageBox::NoIcon, Text(title), Text(text), QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
  }, Qt::QueuedConnection);
}

void QtView::Beep() {
  if (window_) QMetaObject::invokeMethod(window_.data(), [] { QApplication::beep(); }, Qt::QueuedConnection);
}

void QtView::SetClipboard(const std::string& text) {
  View::SetClipboard(text);
  if (!window_) return;
  QMetaObject::invokeMethod(window_.data(), [text] { QGuiApplication::clipboard()->setText(Text(text)); },
                            Qt::QueuedConnection);
}

}  // namespace korvane
