#pragma once
// One fake driver for the engine's tests: records every call of a batch or a conversion, answers
// questions with a preset answer, and cancels after a number of pumps or when a chosen row starts.
#include <map>
#include <string>
#include <vector>

#include "engine/Driver.h"

namespace testutil {

class FakeDriver : public sonavert::BatchDriver {
public:
    using RowOutcome = sonavert::RowOutcome;

    // Progress.
    void BeginRun(int rows) override { runRows = rows; }
    void EndRun() override { ++runsEnded; }
    void SetOverallText(const std::string& text) override { overallTexts.push_back(text); }
    void SetOverallProgress(double fraction) override { overallFractions.push_back(fraction); }
    void SetFileText(const std::string& text) override { fileTexts.push_back(text); }
    void SetFileProgress(double fraction) override { fileFractions.push_back(fraction); }
    void Pump() override { ++pumps; }
    bool CancelRequested() override { return cancel || (cancelAfterPumps > 0 && pumps >= cancelAfterPumps); }
    // Work done, with the rows' own shares as they stood when it was sent (-1: the row ended).
    struct WorkReport {
        double fraction, elapsed, remaining;
        std::map<int, double> rows;
    };
    void SetWorkDone(double fraction, double elapsed, double remaining) override {
        work.push_back({fraction, elapsed, remaining, rowShares});
    }
    void SetRowProgress(int row, double fraction) override { rowShares[row] = fraction; }
    bool PauseRequested() override { return pumps >= pauseFromPump && pumps < pauseUntilPump; }

    // Rows.
    void RowStarted(int row) override {
        started.push_back(row);
        if (row == cancelAtRow) cancel = true;
    }
    void RowFinished(int row, const RowOutcome& outcome) override { outcomes[row] = outcome; }

    // Questions and shell requests.
    bool AskYesNo(const std::string& question) override {
        questions.push_back(question);
        return answer;
    }
    void OpenAddress(const std::string& address) override { opened.push_back(address); }
    void ShowFile(const std::string& path) override { shown.push_back(path); }
    void SetWaitCursor(bool on) override { waits += on ? 1 : -1; }

    // The outcome of a row, or a Failed one without reason when the row never finished.
    bool Finished(int row) const { return outcomes.count(row) != 0; }
    RowOutcome::Kind Kind(int row) const { return outcomes.at(row).kind; }
    const std::string& Target(int row) const { return outcomes.at(row).targetPath; }
    const std::string& Reason(int row) const { return outcomes.at(row).reason; }

    bool answer = false;
    bool cancel = false;
    int cancelAtRow = -1;
    int cancelAfterPumps = 0;
    int pauseFromPump = -1, pauseUntilPump = -1;  // paused while pumps lie in [from, until)
    std::vector<WorkReport> work;
    std::map<int, double> rowShares;
    int pumps = 0, waits = 0, runRows = -1, runsEnded = 0;
    std::vector<std::string> overallTexts, fileTexts, questions, opened, shown;
    std::vector<double> overallFractions, fileFractions;
    std::vector<int> started;
    std::map<int, RowOutcome> outcomes;
};

}  // namespace testutil
