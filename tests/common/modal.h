#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include <functional>

// Watches for the modal window that code under test opens and hands it to
// fnOnModal while it is up. Polls, since exec() does not return until the
// window is closed.
class CModalWatcher
{
public:
    explicit CModalWatcher(std::function<void(QWidget*)> fnOnModal) : m_fnOnModal(std::move(fnOnModal))
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (QWidget* pModal = QApplication::activeModalWidget())
                m_fnOnModal(pModal);
        });
        m_timer.start();
    }

private:
    std::function<void(QWidget*)> m_fnOnModal;
    QTimer m_timer;
};

// Runs a call that opens a modal dialog and hands the dialog to an action
// once it is up. The action is expected to close it; if it does not (a
// failed check returned early), the dialog is rejected so that no test
// leaves a modal dialog open.
struct SModalRun
{
    int nResult = -1;
    bool bActed = false;
    bool bLeftOpen = false;
};

inline SModalRun RunModal(const std::function<int()>& run, const std::function<void(QDialog*)>& act)
{
    SModalRun r;
    CModalWatcher watcher([&](QWidget* pModal) {
        auto* pDialog = qobject_cast<QDialog*>(pModal);
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
    r.nResult = run();
    return r;
}

// Answers the message boxes that code under test opens, in order, with the
// buttons given, and records their texts and captions. A box beyond the
// answers given is recorded and closed with Cancel (or OK), and any other
// modal dialog is rejected, so no test leaves a modal window open.
class CBoxAnswerer
{
public:
    explicit CBoxAnswerer(QList<QMessageBox::StandardButton> answers = {})
        : m_answers(std::move(answers)), m_watcher([this](QWidget* pModal) { Answer(pModal); })
    {
    }

    QStringList m_texts;
    QStringList m_captions;
    int m_nUnexpected = 0;

private:
    void Answer(QWidget* pModal)
    {
        auto* pBox = qobject_cast<QMessageBox*>(pModal);
        if (!pBox) {
            ++m_nUnexpected;
            if (auto* pDialog = qobject_cast<QDialog*>(pModal))
                pDialog->reject();
            return;
        }
        m_texts << pBox->text();
        m_captions << pBox->windowTitle();
        QMessageBox::StandardButton eAnswer;
        if (!m_answers.isEmpty()) {
            eAnswer = m_answers.takeFirst();
        } else {
            ++m_nUnexpected;
            eAnswer = pBox->button(QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok;
        }
        if (QAbstractButton* pButton = pBox->button(eAnswer))
            pButton->click();
        else
            pBox->reject();
    }

    QList<QMessageBox::StandardButton> m_answers;
    CModalWatcher m_watcher;
};

// The message boxes on screen that block nothing (the gateway's).
inline QList<QMessageBox*> OpenMessageBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* pWindow : QApplication::topLevelWidgets()) {
        auto* pBox = qobject_cast<QMessageBox*>(pWindow);
        if (pBox && pBox->isVisible() && pBox->windowModality() == Qt::NonModal)
            boxes << pBox;
    }
    return boxes;
}

inline QStringList OpenMessageBoxTexts()
{
    QStringList texts;
    for (QMessageBox* pBox : OpenMessageBoxes())
        texts << pBox->text();
    return texts;
}
