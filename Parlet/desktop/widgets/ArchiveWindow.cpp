#include "Parlet/desktop/widgets/ArchiveWindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFontMetrics>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QToolButton>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "Parlet/desktop/widgets/Labels.h"
#include "Parlet/desktop/widgets/Symbols.h"

namespace parlet::widgets {
namespace {

QColor faded(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(opacity));
  return color;
}

QLabel* textLabel(const QString& text, int pixelSize, QFont::Weight weight, bool serif, const QColor& color) {
  auto* l = styledLabel(text, pixelSize, weight, serif, color);
  l->setTextFormat(Qt::PlainText);
  return l;
}

// Medium date and short time in the user's locale: "Dec 10, 2026, 5:03 AM".
QString formatDate(TranscriptArchive::Clock::time_point date) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
  const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
  const QLocale locale;
  return locale.toString(local.date(), "MMM d, yyyy") + ", " + locale.toString(local.time(), QLocale::ShortFormat);
}

QWidget* placeholder(const QString& symbol, int size, const QString& title, QLabel* message, QPushButton* button,
                     const QColor& primary) {
  auto* box = new QWidget;
  auto* column = new QVBoxLayout(box);
  column->setSpacing(10);
  column->addStretch(1);
  auto* icon = new QLabel;
  icon->setPixmap(symbolPixmap(symbol, size, faded(primary, 0.45), box->devicePixelRatioF()));
  icon->setAlignment(Qt::AlignHCenter);
  column->addWidget(icon);
  auto* heading = textLabel(title, 14, QFont::DemiBold, true, faded(primary, 0.65));
  heading->setAlignment(Qt::AlignHCenter);
  column->addWidget(heading);
  message->setAlignment(Qt::AlignHCenter);
  message->setWordWrap(true);
  message->setContentsMargins(40, 0, 40, 0);
  column->addWidget(message);
  if (button) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 4, 0, 0);
    row->addStretch(1);
    row->addWidget(button);
    row->addStretch(1);
    column->addLayout(row);
  }
  column->addStretch(1);
  return box;
}

// An entry's text: selectable, wrapped at word boundaries, and anywhere inside a word longer than
// the line (a URL), so the card never needs more width than it is given. Its height follows the
// width it gets.
class CardText : public QTextEdit {
 public:
  CardText(const QString& text, int pixelSize, const QColor& color) {
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setContextMenuPolicy(Qt::NoContextMenu);
    viewport()->setAutoFillBackground(false);
    setStyleSheet("QTextEdit { background: transparent; }");
    QFont f = font();
    f.setPixelSize(pixelSize);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::Text, color);
    setPalette(p);
    document()->setDocumentMargin(0);
    setPlainText(text);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setMinimumWidth(40);
    fitHeight(width());
  }
  QSize sizeHint() const override { return {200, height()}; }
  QSize minimumSizeHint() const override { return {40, height()}; }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QTextEdit::resizeEvent(event);
    fitHeight(viewport()->width());
  }
  // Wheel turns scroll the list, not this box.
  void wheelEvent(QWheelEvent* event) override { event->ignore(); }

 private:
  void fitHeight(int width) {
    document()->setTextWidth(std::max(width, 1));
    const int h = static_cast<int>(std::ceil(document()->size().height()));
    if (h != height()) setFixedHeight(h);
  }
};

}  // namespace

// One entry: date, trash (on hover or while copied), copy, and the whole text; in selection mode a
// mark on the left and the whole card toggles the entry.
class ArchiveCard : public QFrame {
 public:
  ArchiveCard(ArchiveViewModel& view, TranscriptArchive::Entry entry) : view_(view), entry_(std::move(entry)) {
    setAttribute(Qt::WA_Hover);
    const QColor primary = palette().color(QPalette::WindowText);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    mark_ = new QLabel;
    mark_->setFixedSize(18, 19);
    mark_->setContentsMargins(0, 1, 0, 0);
    row->addWidget(mark_, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(8);
    auto* top = new QHBoxLayout;
    top->addWidget(textLabel(formatDate(entry_.date), 11, QFont::Normal, false, faded(primary, 0.65)));
    top->addStretch(1);
    trash_ = new QToolButton;
    trash_->setAutoRaise(true);
    trash_->setIcon(QIcon(symbolPixmap("trash", 14, primary, devicePixelRatioF())));
    trash_->setToolTip("Delete");
    QObject::connect(trash_, &QToolButton::clicked, this, [this] { view_.remove(entry_); });
    top->addWidget(trash_);
    copy_ = new QPushButton;
    QObject::connect(copy_, &QPushButton::clicked, this, [this] { view_.copy(entry_); });
    top->addWidget(copy_);
    column->addLayout(top);
    text_ = new CardText(QString::fromStdString(entry_.text), 13, primary);
    column->addWidget(text_);
    row->addLayout(column, 1);
    refresh();
  }

  void refresh() {
    const auto card = view_.card(entry_, hovering_);
    const QColor primary = palette().color(QPalette::WindowText);
    selected_ = view_.selected().count(entry_.id) > 0;
    mark_->setVisible(card.showsSelectionMark);
    if (card.showsSelectionMark)
      mark_->setPixmap(selected_ ? symbolPixmap("checkmark.circle.fill", 18, palette().color(QPalette::Highlight), devicePixelRatioF())
                                 : symbolPixmap("circle", 18, faded(primary, 0.65), devicePixelRatioF()));
    trash_->setVisible(card.showsTrash);
    // Keep the place of the trash button while hidden, so the copy button does not move.
    QSizePolicy policy = trash_->sizePolicy();
    policy.setRetainSizeWhenHidden(card.showsCopy);
    trash_->setSizePolicy(policy);
    copy_->setVisible(card.showsCopy);
    copy_->setText(QString::fromStdString(card.copyTitle));
    copy_->setIcon(QIcon(symbolPixmap(card.copyTitle == "Copied" ? "checkmark" : "doc.on.doc", 12, primary, devicePixelRatioF())));
    setCursor(card.showsSelectionMark ? Qt::PointingHandCursor : Qt::ArrowCursor);
    // While selecting, a click on the text toggles the card like a click anywhere else on it.
    text_->setAttribute(Qt::WA_TransparentForMouseEvents, card.showsSelectionMark);
    text_->viewport()->setAttribute(Qt::WA_TransparentForMouseEvents, card.showsSelectionMark);
    text_->viewport()->setCursor(card.showsSelectionMark ? Qt::PointingHandCursor : Qt::IBeamCursor);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent = palette().color(QPalette::Highlight);
    const QColor gray(128, 128, 128);
    p.setBrush(selected_ ? faded(accent, 0.1) : faded(gray, 0.08));
    p.setPen(QPen(selected_ ? faded(accent, 0.4) : faded(gray, 0.18), 1));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  }
  void enterEvent(QEnterEvent*) override {
    hovering_ = true;
    refresh();
  }
  void leaveEvent(QEvent*) override {
    hovering_ = false;
    refresh();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (view_.selectionMode()) view_.toggleSelection(entry_.id);
    QFrame::mouseReleaseEvent(event);
  }

 private:
  ArchiveViewModel& view_;
  TranscriptArchive::Entry entry_;
  bool hovering_ = false;
  bool selected_ = false;
  QLabel* mark_ = nullptr;
  QToolButton* trash_ = nullptr;
  QPushButton* copy_ = nullptr;
  QTextEdit* text_ = nullptr;
};

ArchiveWindow::ArchiveWindow(ArchiveWindowController* controller, std::unique_ptr<ArchiveViewModel> view)
    : QWidget(nullptr, Qt::Window), controller_(controller), view_(std::move(view)) {
  setWindowTitle("Parlet Archive");
  setMinimumSize(static_cast<int>(ArchiveWindowController::minimumWidth),
                 static_cast<int>(ArchiveWindowController::minimumHeight));
  resize(static_cast<int>(ArchiveWindowController::windowWidth), static_cast<int>(ArchiveWindowController::windowHeight));
  const QColor primary = palette().color(QPalette::WindowText);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QHBoxLayout;
  header->setContentsMargins(20, 18, 20, 10);
  header->setSpacing(8);
  header->addWidget(textLabel("Archive", 18, QFont::DemiBold, true, primary), 0, Qt::AlignBaseline);
  subtitle_ = textLabel("", 11, QFont::Normal, false, faded(primary, 0.45));
  header->addWidget(subtitle_, 0, Qt::AlignBaseline);
  header->addStretch(1);
  column->addLayout(header);

  auto* toolbar = new QHBoxLayout;
  toolbar->setContentsMargins(20, 0, 20, 12);
  toolbar->setSpacing(8);
  search_ = new QLineEdit;
  search_->setPlaceholderText("Search");
  search_->setMaximumWidth(240);
  search_->setClearButtonEnabled(true);  // shown while the field holds anything, blanks too
  search_->addAction(QIcon(symbolPixmap("magnifyingglass", 12, faded(primary, 0.65), devicePixelRatioF())),
                     QLineEdit::LeadingPosition);
  QObject::connect(search_, &QLineEdit::textChanged, this,
                   [this](const QString& text) { view_->setQuery(text.toStdString()); });
  toolbar->addWidget(search_);
  toolbar->addStretch(1);
  auto small = [](const QString& title) {
    auto* button = new QPushButton(title);
    QFont font = button->font();
    font.setPixelSize(12);
    button->setFont(font);
    return button;
  };
  cancel_ = small("Cancel");
  delete_ = small("Delete");
  select_ = small("Select");
  clearAll_ = small("Clear All");
  for (auto* button : {cancel_, delete_, select_, clearAll_}) toolbar->addWidget(button);
  QObject::connect(cancel_, &QPushButton::clicked, this, [this] { view_->exitSelectionMode(); });
  QObject::connect(delete_, &QPushButton::clicked, this, [this] { confirmDeleteSelected(); });
  QObject::connect(select_, &QPushButton::clicked, this, [this] { view_->enterSelectionMode(); });
  QObject::connect(clearAll_, &QPushButton::clicked, this, [this] { confirmClear(); });
  column->addLayout(toolbar);

  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setStyleSheet("color: rgba(128,128,128,0.3);");
  column->addWidget(divider);

  content_ = new QStackedWidget;
  auto* emptyMessage = textLabel("Each successful dictation will be saved here so you can copy it again.", 11,
                                 QFont::Normal, false, faded(primary, 0.45));
  content_->addWidget(placeholder("tray", 36, "No transcripts yet", emptyMessage, nullptr, primary));
  noMatch_ = textLabel("", 11, QFont::Normal, false, faded(primary, 0.45));
  auto* clearSearch = small("Clear search");
  QObject::connect(clearSearch, &QPushButton::clicked, this, [this] { search_->clear(); });
  content_->addWidget(placeholder("magnifyingglass", 30, "No matches", noMatch_, clearSearch, primary));
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* listBox = new QWidget;
  list_ = new QVBoxLayout(listBox);
  list_->setContentsMargins(16, 16, 16, 16);
  list_->setSpacing(10);
  list_->addStretch(1);
  scroll->setWidget(listBox);
  content_->addWidget(scroll);
  column->addWidget(content_, 1);

  auto* find = new QShortcut(QKeySequence::Find, this);
  QObject::connect(find, &QShortcut::activated, this, [this] { search_->setFocus(); });

  observer_ = view_->observe([this] { refresh(); });
  refresh();
}

ArchiveWindow::~ArchiveWindow() { view_->removeObserver(observer_); }

void ArchiveWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (auto* controller = controller_) {
    controller_ = nullptr;
    controller->windowWillClose();
  }
}

namespace {

// A title bar centres the title between its buttons, and the window manager cuts a title that finds
// no room there: the box is made as wide as its title in bold with room for buttons on both sides.
void fitTitle(QMessageBox& box) {
  constexpr int buttonsRoom = 100;  // a title bar's buttons on one side, with their margins
  QFont bold = box.font();
  bold.setBold(true);
  const int width = QFontMetrics(bold).horizontalAdvance(box.windowTitle()) + 2 * buttonsRoom;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

}  // namespace

void ArchiveWindow::confirmClear() {
  view_->requestClear();
  QMessageBox box(QMessageBox::Warning, "Clear all transcripts?", "Clear all transcripts?", QMessageBox::NoButton, this);
  box.setInformativeText("This removes every saved transcript. It can't be undone.");
  QPushButton* cancel = box.addButton(QMessageBox::Cancel);
  QPushButton* clear = box.addButton("Clear", QMessageBox::DestructiveRole);
  box.setDefaultButton(cancel);  // Return keeps the transcripts
  fitTitle(box);
  box.exec();
  view_->answerClear(box.clickedButton() == clear);
}

void ArchiveWindow::confirmDeleteSelected() {
  view_->requestDeleteSelected();
  if (!view_->confirmingDeleteSelected()) return;
  const QString title = QString::fromStdString(view_->deleteSelectedTitle());
  QMessageBox box(QMessageBox::Warning, title, title, QMessageBox::NoButton, this);
  box.setInformativeText("This can't be undone.");
  QPushButton* cancel = box.addButton(QMessageBox::Cancel);
  QPushButton* remove = box.addButton("Delete", QMessageBox::DestructiveRole);
  box.setDefaultButton(cancel);  // Return keeps the transcripts
  fitTitle(box);
  box.exec();
  view_->answerDeleteSelected(box.clickedButton() == remove);
}

void ArchiveWindow::refresh() {
  subtitle_->setText(QString::fromStdString(view_->subtitle()));
  if (search_->text().toStdString() != view_->query()) search_->setText(QString::fromStdString(view_->query()));
  search_->setEnabled(view_->searchEnabled());
  auto* dim = new QGraphicsOpacityEffect(search_);
  dim->setOpacity(view_->searchEnabled() ? 1.0 : 0.5);
  search_->setGraphicsEffect(dim);

  const auto toolbar = view_->toolbar();
  cancel_->setVisible(toolbar == ArchiveViewModel::Toolbar::selecting);
  delete_->setVisible(toolbar == ArchiveViewModel::Toolbar::selecting);
  delete_->setText(QString::fromStdString(view_->deleteButtonTitle()));
  delete_->setEnabled(view_->deleteButtonEnabled());
  select_->setVisible(toolbar == ArchiveViewModel::Toolbar::normal);
  clearAll_->setVisible(toolbar == ArchiveViewModel::Toolbar::normal);

  switch (view_->content()) {
    case ArchiveViewModel::Content::empty: content_->setCurrentIndex(0); break;
    case ArchiveViewModel::Content::noMatch:
      noMatch_->setText(QString::fromStdString(view_->noMatchText()));
      content_->setCurrentIndex(1);
      break;
    case ArchiveViewModel::Content::list: content_->setCurrentIndex(2); break;
  }
  rebuildCards(view_->filteredEntries());
}

void ArchiveWindow::rebuildCards(const std::vector<TranscriptArchive::Entry>& entries) {
  std::vector<TranscriptArchive::UUID> ids;
  for (const auto& entry : entries) ids.push_back(entry.id);
  if (ids == shownIds_) {
    for (auto& [id, card] : cards_) card->refresh();
    return;
  }
  for (auto& [id, card] : cards_) delete card;
  cards_.clear();
  shownIds_ = ids;
  int index = 0;
  for (const auto& entry : entries) {
    auto* card = new ArchiveCard(*view_, entry);
    list_->insertWidget(index++, card);
    cards_[entry.id] = card;
  }
}

}  // namespace parlet::widgets
