// The pictures of the window: the slot pictures (50 x 28, one per picture name
// of the catalogue), the button glyphs and the program's icon, drawn from the
// SVG resources of the program.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <string>

// The slot picture of a picture name; an unknown name gives the empty slot's.
QPixmap SlotPicture(const std::string& name);
// A button glyph (16 x 16): "load", "save", "graph", "graph_on", "confload",
// "confsave", "print", "timeouts".
QIcon ButtonGlyph(const char* name);
QIcon AppIcon();
// True when a picture resource of that name exists.
bool HasSlotPicture(const std::string& name);
