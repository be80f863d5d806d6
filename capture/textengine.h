#pragma once

#include <QByteArray>
#include <QString>
#include <QtPlugin>

namespace BL::Capture {

// The text engine (Tesseract) behind an interface of its own, in the module brightloom-text. It is
// loaded at the first text shot and unloaded after the idle spell, so that a program that reads
// no text never maps the engine's libraries, and one that did gives their pages back. Loading it
// late also lets the engine's OpenMP runtime be told, before it starts, to keep to the calling
// thread: on a busy machine its worker threads spin against the rest of the desktop and make a
// recognition several times slower.
class CAbstractTextEngine
{
public:
    virtual ~CAbstractTextEngine() = default;
    // Starts the engine for `languages` ("eng+deu") from `dataDir`. False when it cannot be.
    // `ownInversion` keeps the engine's second, inverted look at doubtful lines.
    virtual bool start(const QByteArray& dataDir, const QByteArray& languages, bool ownInversion) = 0;
    // The text of an 8-bit grey picture with automatic page segmentation, as UTF-8; `dotsPerInch`
    // 0 lets the engine guess.
    virtual QByteArray read(const uchar* grey, int width, int height, int bytesPerLine, int dotsPerInch) = 0;
    // Frees everything the engine holds; start() may follow.
    virtual void stop() = 0;
};

// Loads the module from where BL_TEXT_MODULE_DIR says, from beside the program (the build
// tree) or from the program's library directory (an installed program). Null, with the reason
// in `why`, when it cannot be loaded. Call unloadTextEngine() once the engine is stopped.
CAbstractTextEngine* loadTextEngine(QString* why);
void unloadTextEngine();

} // namespace BL::Capture

#define BL_TEXT_ENGINE_IID "org.brightloom.TextEngine/1"
Q_DECLARE_INTERFACE(BL::Capture::CAbstractTextEngine, BL_TEXT_ENGINE_IID)
