// zelsim's terminal output: messages (one line each, from any thread) and the live status view
// drawn below them. The view is redrawn in place; a message clears it, is printed, and the view
// comes back under it. Without a view every message is a plain line, flushed at once, so that
// a program reading zelsim's output through a pipe sees each line as it happens.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace zelsim {

class Console {
  public:
    // view: draw the status view (only sensible when stdout is a terminal).
    explicit Console(bool view) : view_(view) {}
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool ViewOn() const { return view_; }

    void Info(const std::string& line);   // stdout
    void Error(const std::string& line);  // stderr, prefixed "zelsim: "
    // Replaces the status view (nothing happens without a view).
    void Draw(const std::vector<std::string>& lines);
    // Takes the view off the screen for good.
    void EndView();

  private:
    void EraseLocked();
    void DrawLocked();

    std::mutex mutex_;
    bool view_;                       // fixed unless EndView
    std::vector<std::string> lines_;  // guarded by mutex_: the view as last drawn
    size_t shown_ = 0;                // guarded by mutex_: lines of it on the screen now
};

}  // namespace zelsim
