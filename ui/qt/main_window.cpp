#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QVBoxLayout>

#include "app/main_controller.h"
#include "ui/qt/check_list_widget.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

const std::vector<MenuSpec>& MainWindowMenus() {
    using C = MainCommand;
    static const std::vector<MenuSpec> menus = {
        {"&File",
         {{"&Open Machine...", C::OpenMachine},
          {"Use &Definitions File...", C::UseDefinitionsFile},
          {nullptr, C::Exit},
          {"E&xit", C::Exit}}},
        {"Scan",
         {{"S&mart Scan", C::SmartScan},
          {"&Drives && Folders", C::DrivesAndFolders},
          {"&Custom Scan", C::CustomScan},
          {nullptr, C::Exit},
          {"&Memory", C::MemoryScan},
          {"&Registry", C::RegistryScan},
          {"&Files", C::FilesScan},
          {nullptr, C::Exit},
          {"Advanced BHO Scan", C::AdvancedBhoScan},
          {"Start-up &Entries...", C::StartupEntries}}},
        {"Remove", {{"Remove &All ", C::RemoveAll}, {"Remove &Selected", C::RemoveSelected}}},
        {"Settings",
         {{"&General Settings", C::GeneralSettings},
          {"S&can Settings", C::ScanSettings},
          {nullptr, C::Exit},
          {"Check &Updates", C::CheckUpdates},
          {nullptr, C::Exit},
          {"&Ignore List", C::IgnoreList},
          {nullptr, C::Exit},
          {"Show Logfiles", C::ShowLogfiles}}},
        {"Backup",
         {{"Backup/Quarantine", C::BackupQuarantine},
          {nullptr, C::Exit},
          {"Restore Backup", C::RestoreBackup}}},
        {"Help",
         {{"&Online Help", C::OnlineHelp}, {nullptr, C::Exit}, {"&About Tolvane", C::About}}},
    };
    return menus;
}

namespace {

const char* const kStyle = R"(
QWidget#MainWindow { background: #f4f7fb; }
QFrame#Header { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #1f5fa8, stop:1 #3d8bd8);
                border-radius: 6px; }
QFrame#Header QLabel { color: white; }
QFrame#CounterBox { background: white; border: 1px solid #d5dde8; border-radius: 6px; }
QLabel[class="CounterName"] { color: #51606f; }
QLabel[class="CounterValue"] { color: #1f3b57; font-weight: bold; }
QLabel#StatusLine { background: white; border: 1px solid #d5dde8; border-radius: 4px;
                    padding: 3px 6px; color: #1f3b57; }
QLabel[class="Caption"] { color: #1f3b57; font-weight: bold; }
QPushButton { padding: 5px 14px; }
QProgressBar { border: 1px solid #b8c4d2; border-radius: 4px; background: white; text-align: center; }
QProgressBar::chunk { background: #3d8bd8; border-radius: 3px; }
)";

// The dialogs share the window's colours: its background, the counters'
// white framed boxes for groups, its dark blue texts and its buttons.
const char* const kDialogStyle = R"(
QDialog { background: #f4f7fb; }
QDialog QLabel, QDialog QCheckBox, QDialog QRadioButton { color: #1f3b57; }
QDialog QGroupBox { background: white; border: 1px solid #d5dde8; border-radius: 6px;
                    margin-top: 1.3em; padding: 0.5em 0.4em 0.3em 0.4em; color: #1f3b57; }
QDialog QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QDialog QPushButton { min-width: 5.5em; padding: 5px 14px; }
)";

// The status line: a long path is shortened in its middle rather than cut
// off at the right; text() stays whole.
class StatusLabel : public QLabel {
  public:
    using QLabel::QLabel;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStyleOption option;
        option.initFrom(this);
        QPainter painter(this);
        style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
        const QRect area = contentsRect();
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
        style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown,
                              foregroundRole());
    }
};

}  // namespace

QIcon TolvaneIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 96, 128}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        const double s = size;
        QPainterPath shield;
        shield.moveTo(0.5 * s, 0.04 * s);
        shield.lineTo(0.9 * s, 0.18 * s);
        shield.cubicTo(0.9 * s, 0.6 * s, 0.72 * s, 0.84 * s, 0.5 * s, 0.96 * s);
        shield.cubicTo(0.28 * s, 0.84 * s, 0.1 * s, 0.6 * s, 0.1 * s, 0.18 * s);
        shield.closeSubpath();
        QLinearGradient fill(0, 0, s, s);
        fill.setColorAt(0, QColor(0x3d, 0x8b, 0xd8));
        fill.setColorAt(1, QColor(0x1f, 0x5f, 0xa8));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPath(shield);
        QPen tick(Qt::white, std::max(1.5, s * 0.09), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(tick);
        painter.setBrush(Qt::NoBrush);
        QPainterPath mark;
        mark.moveTo(0.32 * s, 0.5 * s);
        mark.lineTo(0.45 * s, 0.63 * s);
        mark.lineTo(0.69 * s, 0.36 * s);
        painter.drawPath(mark);
        painter.end();
        icon.addPixmap(picture);
    }
    return icon;
}

void ApplyDesktopLook() {
    static bool applied = false;
    if (applied || !qApp) return;
    applied = true;
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QPalette palette = QApplication::style()->standardPalette();
    palette.setColor(QPalette::Window, QColor(0xf4, 0xf7, 0xfb));
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::AlternateBase, QColor(0xf0, 0xf4, 0xf9));
    palette.setColor(QPalette::Button, QColor(0xfa, 0xfb, 0xfd));
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x8b, 0xd8));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, Qt::white);
    palette.setColor(QPalette::ToolTipText, QColor(0x1f, 0x3b, 0x57));
    palette.setColor(QPalette::Link, QColor(0x1f, 0x5f, 0xa8));
    QApplication::setPalette(palette);
}

void ApplyDialogLook(QWidget* dialog) {
    dialog->setStyleSheet(kDialogStyle);
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("MainWindow");
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(kStyle);
    setWindowTitle("Tolvane");
    setWindowIcon(TolvaneIcon());

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    menuBar_ = new QMenuBar(this);
    outer->setMenuBar(menuBar_);
    BuildMenus();

    auto* body = new QVBoxLayout;
    body->setContentsMargins(12, 10, 12, 10);
    body->setSpacing(8);
    outer->addLayout(body);

    body->addWidget(BuildHeader());

    body->addWidget(BuildCounters());

    auto* progressCaption = new QLabel("Progress Status", this);
    progressCaption->setProperty("class", "Caption");
    body->addWidget(progressCaption);
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progress1001");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    body->addWidget(progress_);

    auto* listCaption = new QLabel("Scanning results", this);
    listCaption->setProperty("class", "Caption");
    body->addWidget(listCaption);
    listArea_ = new QVBoxLayout;
    body->addLayout(listArea_, 1);

    body->addWidget(BuildStatusLine());

    const int unit = fontMetrics().height();
    resize(unit * 60, unit * 38);
}

MainWindow::~MainWindow() {
    while (busy_ > 0) SetBusy(false);
}

// The header band: the program's name and the action buttons.
QWidget* MainWindow::BuildHeader() {
    auto* header = new QFrame(this);
    header->setObjectName("Header");
    auto* headerLayout = new QHBoxLayout(header);
    auto* name = new QLabel("Tolvane", header);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.6);
    nameFont.setBold(true);
    name->setFont(nameFont);
    headerLayout->addWidget(name);
    auto* tagline = new QLabel("Anti-spyware scanner", header);
    headerLayout->addWidget(tagline);
    headerLayout->addStretch(1);
    const std::pair<ControlId, const char*> buttons[] = {
        {ControlId::StartStop, "Start"},
        {ControlId::Backup, "Backup"},
        {ControlId::Remove, "Remove"},
        {ControlId::Update, "Update"},
        {ControlId::ObjectsFound, "Objects found"},
        {ControlId::ShowLogfile, "Show logfile"},
    };
    const std::map<ControlId, MainCommand> buttonCommands = {
        {ControlId::StartStop, MainCommand::StartStop},
        {ControlId::Backup, MainCommand::Backup},
        {ControlId::Remove, MainCommand::Remove},
        {ControlId::Update, MainCommand::Update},
        {ControlId::ObjectsFound, MainCommand::ObjectsFound},
        {ControlId::ShowLogfile, MainCommand::ShowLogfile},
    };
    for (const auto& [id, text] : buttons) {
        auto* button = new QPushButton(text, header);
        button->setObjectName(QString("button%1").arg(int(id)));
        button->setAutoDefault(false);
        MainCommand command = buttonCommands.at(id);
        connect(button, &QPushButton::clicked, this, [this, command] { Run(command); });
        headerLayout->addWidget(button);
        buttons_[id] = button;
    }
    buttons_[ControlId::StartStop]->setMinimumWidth(
        buttons_[ControlId::StartStop]->sizeHint().width() + 20);
    buttons_[ControlId::ShowLogfile]->hide();  // present but hidden
    // The system menu's About entry.
    header->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* about = new QAction("&About Tolvane", header);
    connect(about, &QAction::triggered, this, [this] { Run(MainCommand::About); });
    header->addAction(about);
    return header;
}

QWidget* MainWindow::BuildStatusLine() {
    auto* status = new StatusLabel(this);
    status->setObjectName("StatusLine");
    status->setTextFormat(Qt::PlainText);
    status->setMinimumWidth(100);
    status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    labels_[ControlId::StatusLine] = status;
    return status;
}

QWidget* MainWindow::BuildCounters() {
    auto* box = new QFrame(this);
    box->setObjectName("CounterBox");
    auto* grid = new QGridLayout(box);
    grid->setHorizontalSpacing(18);
    const std::pair<ControlId, const char*> counters[] = {
        {ControlId::ObjectsScanned, "Objects Scanned"},
        {ControlId::MemoryCounter, "Memory"},
        {ControlId::RegistryCounter, "Registry"},
        {ControlId::FoldersCounter, "Folders"},
        {ControlId::FilesCounter, "Files"},
    };
    int column = 0;
    for (const auto& [id, text] : counters) {
        auto* caption = new QLabel(text, box);
        caption->setProperty("class", "CounterName");
        auto* value = new QLabel("0", box);
        value->setObjectName(QString("counter%1").arg(int(id)));
        value->setProperty("class", "CounterValue");
        QFont font = value->font();
        font.setPointSizeF(font.pointSizeF() * (id == ControlId::ObjectsScanned ? 1.8 : 1.4));
        value->setFont(font);
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance("0000000"));
        grid->addWidget(caption, 0, column);
        grid->addWidget(value, 1, column);
        grid->setColumnStretch(column, id == ControlId::ObjectsScanned ? 2 : 1);
        labels_[id] = value;
        ++column;
    }
    return box;
}

void MainWindow::BuildMenus() {
    for (const MenuSpec& menuEntry : MainWindowMenus()) {
        QMenu* menu = menuBar_->addMenu(menuEntry.title);
        menu->setObjectName(QString("menu") + QString(menuEntry.title).remove('&'));
        for (const MenuItemSpec& item : menuEntry.items) {
            if (!item.text) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(item.text);
            MainCommand command = item.command;
            connect(action, &QAction::triggered, this, [this, command] { Run(command); });
            actions_[command] = action;
        }
        if (QString(menuEntry.title) == "Settings") {
            // "Check &Updates" is greyed while a scan runs, checked each time
            // the menu opens.
            connect(menu, &QMenu::aboutToShow, this, [this] {
                if (controller_)
                    actions_[MainCommand::CheckUpdates]->setEnabled(
                        controller_->MenuItemEnabled(MainCommand::CheckUpdates));
            });
        }
    }
}

void MainWindow::Attach(MainController* controller) {
    controller_ = controller;
    // Another machine opened in the window: its controller's list replaces
    // the one before.
    delete results_;
    results_ = new CheckListWidget(controller->results(), "Result", this);
    results_->setObjectName("results1011");
    results_->openMenu = [controller](bool onRow, std::optional<size_t> highlighted) {
        return controller->OpenResultsMenu(onRow, highlighted);
    };
    results_->runCommand = [controller](ListMenuCommand command) {
        controller->RunResultsMenuCommand(command);
    };
    listArea_->addWidget(results_);
}

void MainWindow::Run(MainCommand command) {
    if (controller_ && !ended_) controller_->Execute(command);
}

void MainWindow::SetTitle(std::string_view title) {
    setWindowTitle(ToQt(title));
}

void MainWindow::SetControlText(ControlId control, std::string_view text) {
    QString shown = ToQt(text);
    ++textWrites_[control];
    if (auto b = buttons_.find(control); b != buttons_.end()) {
        b->second->setText(shown);
        return;
    }
    if (auto l = labels_.find(control); l != labels_.end() && l->second->text() != shown)
        l->second->setText(shown);
}

void MainWindow::EnableControl(ControlId control, bool enabled) {
    if (auto b = buttons_.find(control); b != buttons_.end()) b->second->setEnabled(enabled);
}

void MainWindow::EnableMenuItem(MainCommand command, bool enabled) {
    if (auto a = actions_.find(command); a != actions_.end()) a->second->setEnabled(enabled);
}

void MainWindow::SetProgressRange(int low, int high) {
    progress_->setRange(low, high);
}

void MainWindow::SetProgressPosition(int position) {
    progress_->setValue(std::clamp(position, progress_->minimum(), progress_->maximum()));
}

void MainWindow::SetBusy(bool busy) {
    if (busy) {
        ++busy_;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (busy_ > 0) {
        --busy_;
        QApplication::restoreOverrideCursor();
    }
}

void MainWindow::EndWindow() {
    if (ended_) return;
    ended_ = true;
    hide();
    if (onEnded) onEnded();
}

QPushButton* MainWindow::Button(ControlId control) const {
    auto b = buttons_.find(control);
    return b == buttons_.end() ? nullptr : b->second;
}

QLabel* MainWindow::Label(ControlId control) const {
    auto l = labels_.find(control);
    return l == labels_.end() ? nullptr : l->second;
}

QAction* MainWindow::Action(MainCommand command) const {
    auto a = actions_.find(command);
    return a == actions_.end() ? nullptr : a->second;
}

int MainWindow::TextWrites(ControlId control) const {
    auto c = textWrites_.find(control);
    return c == textWrites_.end() ? 0 : c->second;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The close box is the Exit command.
    if (!ended_ && controller_) controller_->Execute(MainCommand::Exit);
    if (!ended_) EndWindow();
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Run(MainCommand::Cancel);  // swallowed: Escape never closes the window
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace tolvane
