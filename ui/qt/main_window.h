// MainWindow: the desktop program's main window. The menu bar (File, Scan,
// Remove, Settings, Backup, Help), the buttons Start/Stop, Backup, Remove,
// Update, "Objects found" and the hidden "Show logfile", the five counters,
// the progress bar, the results list with its "Result" context menu and the
// status line. It shows what the MainController sets and hands every menu
// item, button, the Escape key and the close box to it.
//
// The About item of Windows' system menu has no counterpart in Qt; the
// window offers "&About Tolvane" in its own context menu (right click on the
// header band) besides the Help menu.
#pragma once

#include <QWidget>
#include <functional>
#include <map>

#include "app/views/main_window_view.h"

class QAction;
class QIcon;
class QLabel;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace tolvane {

class CheckListWidget;
class MainController;

struct MenuItemSpec {
    const char* text;  // nullptr: a separator
    MainCommand command;
};
struct MenuSpec {
    const char* title;
    std::vector<MenuItemSpec> items;
};
// The menu bar in window order, with the mnemonics of the item texts.
const std::vector<MenuSpec>& MainWindowMenus();

// The desktop program's look, set once for the whole application: the
// Fusion style with a light palette (blue selection), the same on every
// platform and in the screenshots.
void ApplyDesktopLook();
// Gives a dialog or message box the main window's look: its light
// background, white framed groups and dark blue texts (a dialog opened from
// another one looks the same, whichever opened it).
void ApplyDialogLook(QWidget* dialog);

// The program's icon: a blue shield with a check mark, drawn at any size.
QIcon TolvaneIcon();

class MainWindow : public QWidget, public MainWindowView {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Connects the window to its controller and shows its results list
    // (again when another machine was opened in the window).
    void Attach(MainController* controller);

    // MainWindowView
    void SetTitle(std::string_view title) override;
    void SetControlText(ControlId control, std::string_view text) override;
    void EnableControl(ControlId control, bool enabled) override;
    void EnableMenuItem(MainCommand command, bool enabled) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPosition(int position) override;
    void SetBusy(bool busy) override;
    void EndWindow() override;

    bool ended() const { return ended_; }
    // Called once when the window ends (the program then leaves its loop).
    std::function<void()> onEnded;

    // The controls, for the program's own wiring and for tests.
    QPushButton* Button(ControlId control) const;
    QLabel* Label(ControlId control) const;  // counters and status line
    QProgressBar* Progress() const { return progress_; }
    CheckListWidget* Results() const { return results_; }
    QAction* Action(MainCommand command) const;
    QMenuBar* MenuBar() const { return menuBar_; }
    // How often the controller wrote each control's text (it writes a
    // counter only when its value changed; a label repaints only when its
    // text differs).
    int TextWrites(ControlId control) const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Run(MainCommand command);
    void BuildMenus();
    QWidget* BuildHeader();
    QWidget* BuildCounters();
    QWidget* BuildStatusLine();

    MainController* controller_ = nullptr;
    QMenuBar* menuBar_ = nullptr;
    QVBoxLayout* listArea_ = nullptr;
    CheckListWidget* results_ = nullptr;
    QProgressBar* progress_ = nullptr;
    std::map<ControlId, QPushButton*> buttons_;
    std::map<ControlId, QLabel*> labels_;
    std::map<ControlId, int> textWrites_;
    std::map<MainCommand, QAction*> actions_;
    bool ended_ = false;
    int busy_ = 0;
};

}  // namespace tolvane
