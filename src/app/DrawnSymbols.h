#pragma once

#include <span>
#include <string_view>

// Our symbols drawn at build time at the pixel sizes shown most, rows top to bottom: a symbol as
// its alpha, one byte a pixel; the application icon in its colours, RGBA premultiplied.
struct DrawnSymbol {
    std::string_view name;
    int pixels;
    bool coloured;
    const unsigned char* data;
};

std::span<const DrawnSymbol> drawnSymbols();
