#pragma once

#include <QString>

// The few words that say where the helper lives: a Mac's menu bar, or a Linux desktop's tray.
// Every other text is the same on both.
struct PlaceWords {
    QString thisHelper;    // "This Mac helper" connects your coding agents …
    QString thisComputer;  // … detected on "this Mac"
    QString runningPlace;  // keeps running "in your menu bar (top-right)"
    QString theIcon;       // reopen it any time from "the menu-bar icon"
    QString theIconPlaced; // pair your phone from "the menu-bar icon (top-right)"

    static PlaceWords macOS();
    static PlaceWords linuxDesktop();
    // The words of the platform this build is for.
    static const PlaceWords& native();
};
