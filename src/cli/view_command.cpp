// --view: the interactive viewer and editor, one file or two compared, on the whole terminal.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "commands.h"
#include "console.h"
#include "engine/types.h"
#include "view/layout.h"
#include "view/model.h"
#include "view/platform/console.h"
#include "view/screen.h"

namespace tessaloom::cli {

namespace {

// How long the background work may run before the screen is drawn and the keys looked at again:
// a fraction of the time between two repeats of a held key, so that keys are not kept waiting.
constexpr auto kWorkSlice = std::chrono::milliseconds(8);

// The viewer on the console until the user quits or the terminal goes away.
void runViewer(view::Model& model) {
    view::Console console(view::colourWanted(std::getenv("NO_COLOR")));
    view::ScreenSize size = console.size();
    const auto fit = [&] {
        model.resize(
            view::geometryFor(size.columns, size.rows, model.documents().size(), model.length())
                .pane);
    };
    fit();
    // Meanwhile keys other than Esc and Ctrl-C, which stop the work, are dropped: they were typed
    // blind. A new size waits until the work is over.
    bool resized = false;
    model.onLongWork([&] {
        console.draw(view::render(model, size.columns, size.rows));
        const view::ConsoleInput input = console.wait(0);
        resized = resized || input.resized;
        return !input.closed && std::ranges::none_of(input.keys, [](const view::Key& key) {
            return key.code == view::KeyCode::kEscape || key.is(view::kCtrlC);
        });
    });
    const auto refit = [&] {
        size = console.size();
        fit();
        console.invalidate();
    };
    for (;;) {
        if (std::exchange(resized, false)) {
            refit();
        }
        console.draw(view::render(model, size.columns, size.rows));
        const view::ConsoleInput input = console.wait(model.busy() ? 0 : -1);
        if (input.closed) {
            return;
        }
        if (input.resized) {
            refit();
        }
        for (const view::Key& key : input.keys) {
            if (key.is(view::kCtrlZ)) {
                console.suspend();
            } else if (!model.handle(key)) {
                return;
            }
        }
        const auto until = std::chrono::steady_clock::now() + kWorkSlice;
        while (model.busy() && std::chrono::steady_clock::now() < until) {
            model.work();
        }
    }
}

}  // namespace

int runView(const Arguments& args) {
    if (args.size() > 2) {
        throw UsageError();
    }
    if (!view::Console::available()) {
        return failWith("--view needs a terminal");
    }
    std::vector<std::unique_ptr<view::Document>> documents;
    for (const std::string& path : args) {
        auto document = std::make_unique<view::Document>(path);
        if (document->error()) {
            throw ReadError(path, document->error()->reason);
        }
        documents.push_back(std::move(document));
    }
    view::Model model(std::move(documents));
    // Each handler is reached only once the console has been given back.
    try {
        runViewer(model);
    } catch (const ReadError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::length_error&) {
        throw;
    } catch (const std::exception& error) {
        return failWith(error.what());
    }
    return 0;
}

}  // namespace tessaloom::cli
