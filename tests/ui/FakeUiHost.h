#pragma once
// A UiHost that answers every dialog from the test: messages are recorded, modal dialogs run a
// script instead of an event loop, the shell and the folder browser return set answers.
#include <functional>
#include <ostream>
#include <vector>

#include <QDialog>

#include "ui/Shell.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace sonavert::test {

class FakeUiHost : public UiHost {
public:
    struct Message {
        QString text;
        MessageIcon icon;
    };
    std::vector<Message> messages;
    std::function<void(QDialog&)> script;  // runs while a dialog is "modal"
    int modalRuns = 0;
    int openResult = kShellOk;
    std::vector<QString> opened;
    int beeps = 0;
    QString folderAnswer;
    QString folderStart;
    std::vector<FileDialogOutcome> fileOutcomes;  // one per file dialog run
    std::vector<QString> fileInitials;
    std::vector<QString> fileAnswer;

    MessageAnswer ShowMessage(QWidget*, const QString& text, MessageIcon icon, MessageButtons) override {
        messages.push_back({text, icon});
        return MessageAnswer::Ok;
    }
    int RunModal(QDialog& dialog) override {
        ++modalRuns;
        dialog.show();
        if (script) script(dialog);
        if (dialog.isVisible()) dialog.reject();
        return dialog.result();
    }
    QString ChooseFolder(QWidget*, const QString&, const QString& start, bool) override {
        folderStart = start;
        return folderAnswer;
    }
    FileDialogOutcome ChooseFiles(QWidget*, const FileDialogRequest& request, std::vector<QString>& files) override {
        fileInitials.push_back(request.initialFile);
        const std::size_t run = fileInitials.size() - 1;
        const FileDialogOutcome outcome = run < fileOutcomes.size() ? fileOutcomes[run] : FileDialogOutcome::Cancelled;
        if (outcome == FileDialogOutcome::Accepted) files = fileAnswer;
        return outcome;
    }
    int OpenDocument(const QString& target, int) override {
        opened.push_back(target);
        return openResult;
    }
    void Beep() override { ++beeps; }
};

}  // namespace sonavert::test
