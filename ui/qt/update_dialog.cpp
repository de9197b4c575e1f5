#include "ui/qt/update_dialog.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <memory>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/qt_text.h"
#include "update/update_client.h"

namespace tolvane {
namespace {

class UpdateDialog : public QDialog, public UpdateWindowView {
  public:
    explicit UpdateDialog(QWidget* parent) : QDialog(parent) {
        setObjectName("Update");
        setWindowTitle(update_texts::kWindowTitle);
        setWindowIcon(style()->standardIcon(QStyle::SP_BrowserReload));
        setStyleSheet(
            "QDialog { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, "
            "stop:1 #dfe9f5); }");
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(18, 16, 18, 14);
        layout->setSpacing(12);
        auto* top = new QHBoxLayout;
        top->setSpacing(14);
        auto* icon = new QLabel(this);
        icon->setPixmap(style()->standardIcon(QStyle::SP_BrowserReload).pixmap(40, 40));
        icon->setAlignment(Qt::AlignTop);
        top->addWidget(icon);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(6);
        auto* heading = new QLabel(update_texts::kWindowTitle, this);
        QFont headingFont = heading->font();
        headingFont.setPointSizeF(headingFont.pointSizeF() * 1.25);
        headingFont.setBold(true);
        heading->setFont(headingFont);
        heading->setStyleSheet("color: #1f3b57;");
        texts->addWidget(heading);
        status_ = new QLabel(this);
        status_->setObjectName("status1089");
        QFont arial("Arial");
        arial.setPointSizeF(std::max(9.0, font().pointSizeF()));
        status_->setFont(arial);
        status_->setWordWrap(true);
        status_->setStyleSheet("color: #1f3b57;");
        // Wide enough for the longest status text on one line.
        status_->setMinimumWidth(
            status_->fontMetrics().horizontalAdvance(update_texts::kDownloadingDatabase) +
            status_->fontMetrics().averageCharWidth() * 4);
        texts->addWidget(status_);
        texts->addStretch(1);
        top->addLayout(texts, 1);
        layout->addLayout(top, 1);
        auto* hidden = new QProgressBar(this);  // part of the window, never shown
        hidden->setObjectName("progress1087");
        hidden->hide();
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        button_ = new QPushButton(update_texts::kCancel, this);
        button_->setObjectName("button1088");
        button_->setMinimumWidth(button_->fontMetrics().horizontalAdvance("Cancel") * 2);
        button_->setDefault(true);
        row->addWidget(button_);
        layout->addLayout(row);
    }
    void SetStatusText(const std::string& text) override { status_->setText(ToQt(text)); }
    void SetButtonCaption(const std::string& caption) override { button_->setText(ToQt(caption)); }
    void Close() override { accept(); }
    QPushButton* button() const { return button_; }

  private:
    QLabel* status_;
    QPushButton* button_;
};

}  // namespace

void RunUpdateDialog(UpdateClient& client, QObject* receiver, QWidget* parent) {
    UpdateDialog dialog(parent);
    // The window stops its sink receiving when it goes, so it goes first.
    auto window = std::make_unique<UpdateWindow>(client, dialog);
    PostingUpdateSink sink(
        [receiver](std::function<void()> task) {
            QMetaObject::invokeMethod(receiver, std::move(task), Qt::QueuedConnection);
        },
        *window);
    QObject::connect(dialog.button(), &QPushButton::clicked, &dialog,
                     [&window] { window->PressButton(); });
    window->Open(&sink);
    DialogDriver::Instance().Exec(dialog);
    sink.Disconnect();
    window.reset();
}

}  // namespace tolvane
