#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <functional>

// Runs a call that opens a modal dialog (exec() or a command that shows one)
// and hands the dialog to an action once it is up. The action is expected to
// close it; if it does not (a failed check returned early), the dialog is
// rejected so that no test leaves a modal dialog open.
struct SModalRun
{
    int nResult = -1;
    bool bActed = false;
    bool bLeftOpen = false;
};

inline SModalRun RunModal(const std::function<int()>& run,
                          const std::function<void(QDialog*)>& act)
{
    SModalRun r;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!pDialog)
            return;
        if (!r.bActed) {
            r.bActed = true;
            act(pDialog);
        } else {
            r.bLeftOpen = true;
            pDialog->reject();
        }
    });
    poll.start();
    r.nResult = run();
    poll.stop();
    return r;
}
