// The setup dialog's result: a size and whether to run windowed.
#pragma once

namespace velk {

struct VideoMode {
    int Width = 0;
    int Height = 0;
    bool Windowed = false;

    bool Equals(const VideoMode& other) const {
        return Width == other.Width && Height == other.Height && Windowed == other.Windowed;
    }
    friend bool operator==(const VideoMode& a, const VideoMode& b) { return a.Equals(b); }
};

}  // namespace velk
