#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Answers the message boxes that code under test opens, in order, with the
// buttons given, and records their texts and captions. A box beyond the
// answers given is recorded and closed with Cancel (or OK), and any other
// modal dialog is rejected, so no test leaves a modal window open.
class CBoxAnswerer : public QObject
{
public:
    explicit CBoxAnswerer(QList<QMessageBox::StandardButton> answers = {})
        : m_answers(std::move(answers))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &CBoxAnswerer::Poll);
        m_timer.start();
    }

    QStringList m_texts;
    QStringList m_captions;
    int m_nUnexpected = 0;

private:
    void Poll()
    {
        QWidget* pModal = QApplication::activeModalWidget();
        if (!pModal)
            return;
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
    QTimer m_timer;
};
