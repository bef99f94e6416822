/*
 * A Qt host of the live search: a QSocketNotifier on the search's descriptor
 * hands the events to Qt's event loop, a window lists the robots as they
 * answer (and drops those that stop answering), and its Stop button ends the
 * search. Each robot is printed on the standard output as well.
 *
 *   c++ -std=c++17 qt_live.cpp -I../common $(pkg-config --cflags --libs seekwell Qt6Widgets) -o qt_live
 *   qt_live [--stop-after SECONDS]    click Stop after SECONDS, then quit once the search is over
 *
 * It searches the real network: run it only where robots may be found, or in
 * a private network namespace (see seekwell-simlan(1)).
 */
#include <seekwell/seekwell.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "terminal_text.h"

constexpr int kMaxSeconds = 86400;

class RobotWindow : public QWidget {
public:
    explicit RobotWindow(bool quitWhenDone) : quitWhenDone_(quitWhenDone)
    {
        setWindowTitle("Robots");
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(list_);
        layout->addWidget(status_);
        layout->addWidget(stop_);
        // The status shows the search's reason: never read as markup.
        status_->setTextFormat(Qt::PlainText);
        connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
    }

    // Closing the window, or quitting, while the search runs also ends it.
    ~RobotWindow() override { End(); }

    RobotWindow(const RobotWindow&) = delete;
    RobotWindow& operator=(const RobotWindow&) = delete;

    // Returns false, having said why, when no search could start.
    bool Start()
    {
        seekwell_options options = SEEKWELL_OPTIONS_INIT;
        options.window_ms = 0;  // until stopped; a robot that stops answering is GONE
        const int started = seekwell_search_start(&options, &RobotWindow::OnEvent, this, &search_);
        if (started < 0) {
            std::fprintf(stderr, "qt_live: no search: %s\n", std::strerror(-started));
            return false;
        }
        notifier_ = new QSocketNotifier(seekwell_search_fd(search_), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { Dispatch(); });
        status_->setText("Searching...");
        return true;
    }

    QPushButton* StopButton() const { return stop_; }

private:
    void Stop()
    {
        // DONE follows through the notifier within 50 ms.
        seekwell_search_cancel(search_);
        stop_->setEnabled(false);
        status_->setText("Stopping...");
    }

    void Dispatch()
    {
        if (seekwell_search_dispatch(search_) == 0) {  // DONE has been delivered
            End();
        }
    }

    // Qt must stop watching the descriptor before the search closes it.
    void End()
    {
        if (notifier_ != nullptr) {
            notifier_->setEnabled(false);
            notifier_->deleteLater();
            notifier_ = nullptr;
        }
        seekwell_search_free(search_);
        search_ = nullptr;
    }

    static void OnEvent(const seekwell_event* event, void* userData)
    {
        static_cast<RobotWindow*>(userData)->Show(*event);
    }

    // A name is bytes as the robot sent them: on the terminal through
    // PrintTerminalText, so that no robot can steer it.
    static void PrintLine(const char* word, const seekwell_event& event)
    {
        std::printf("%-6s ", word);
        PrintTerminalText(stdout, event.name);
        std::printf("  ");
        PrintTerminalText(stdout, event.address);
        std::printf("\n");
    }

    // Runs on the GUI thread, inside seekwell_search_dispatch.
    void Show(const seekwell_event& event)
    {
        const QString address = QString::fromLatin1(event.address);
        switch (event.type) {
            case SEEKWELL_EVENT_ROBOT: {
                PrintLine("robot", event);
                // A list item's text is plain text, never markup; invalid UTF-8 shows as U+FFFD.
                auto* item = new QListWidgetItem(QString("%1    %2").arg(QString::fromUtf8(event.name), address));
                item->setData(Qt::UserRole, address);
                list_->addItem(item);
                break;
            }
            case SEEKWELL_EVENT_GONE:
                PrintLine("gone", event);
                for (int row = list_->count() - 1; row >= 0; --row) {
                    if (list_->item(row)->data(Qt::UserRole).toString() == address) {
                        delete list_->takeItem(row);
                    }
                }
                break;
            case SEEKWELL_EVENT_DONE:
                std::printf("done   ");
                PrintTerminalText(stdout, event.reason);
                std::printf("\n");
                if (event.done_reason == SEEKWELL_DONE_FAILED) {
                    Finish(QString("Search failed: %1").arg(std::strerror(event.error)), 1);
                } else {
                    Finish(QString("Search over: %1").arg(event.reason), 0);
                }
                break;
            default:  // SKIPPED: a responder that is no robot; event.reason says why
                break;
        }
    }

    // The window stays, showing why, unless it was asked to quit.
    void Finish(const QString& why, int exitStatus)
    {
        status_->setText(why);
        stop_->setEnabled(false);
        if (exitStatus != 0) {
            std::fprintf(stderr, "qt_live: %s\n", qPrintable(why));
        }
        std::printf("%d robot(s) found\n", list_->count());
        if (quitWhenDone_) {
            QCoreApplication::exit(exitStatus);
        }
    }

    const bool quitWhenDone_;
    seekwell_search* search_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    QListWidget* list_ = new QListWidget;
    QLabel* status_ = new QLabel;
    QPushButton* stop_ = new QPushButton("Stop");
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Lists the robots on the local network as they answer.");
    parser.addHelpOption();
    const QCommandLineOption stopAfter("stop-after", "Click Stop after <seconds>, then quit.", "seconds");
    parser.addOption(stopAfter);
    parser.process(app);
    bool valid = true;
    const int seconds = parser.isSet(stopAfter) ? parser.value(stopAfter).toInt(&valid) : 0;
    if (!valid || seconds < 0 || seconds > kMaxSeconds) {
        std::fprintf(stderr, "qt_live: --stop-after takes a number of seconds\n");
        return 2;
    }
    // Robots are shown as they come, also when the output is a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    RobotWindow window(parser.isSet(stopAfter));
    if (!window.Start()) {
        return 2;
    }
    window.show();
    if (parser.isSet(stopAfter)) {
        QTimer::singleShot(seconds * 1000, window.StopButton(), &QPushButton::click);
    }
    return QApplication::exec();
}
