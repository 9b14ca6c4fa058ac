// Another application for the end-to-end test: a window with one text field that takes the keyboard
// focus, says "ready" on standard output once it has it, and then prints "text:" and the field's
// text after every change. It ends when its standard input closes.
#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("PasteTarget");
  QWidget window;
  window.setWindowTitle("paste target");
  auto* layout = new QVBoxLayout(&window);
  auto* field = new QLineEdit;
  layout->addWidget(field);
  window.resize(320, 80);
  window.move(40, 40);
  window.show();
  QObject::connect(field, &QLineEdit::textChanged, [](const QString& text) {
    std::printf("text:%s\n", text.toUtf8().constData());
    std::fflush(stdout);
  });
  bool ready = false;
  QTimer focus;
  QObject::connect(&focus, &QTimer::timeout, [&] {
    window.activateWindow();
    field->setFocus();
    if (!ready && QGuiApplication::focusWindow() && QApplication::focusWidget() == field) {
      ready = true;
      std::printf("ready\n");
      std::fflush(stdout);
      focus.stop();
    }
  });
  focus.start(50);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[256];
    if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) QApplication::quit();
  });
  return app.exec();
}
