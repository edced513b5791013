// The scenario steps, one type each, and their registry.
#include <algorithm>

#include "sim/machine/duration.h"
#include "board/keys.h"
#include "sim/scenario/scenario_fields.h"
#include "sim/scenario/scenario_step.h"
#include "sim/machine/screen_text.h"
#include "sim/machine/screenshot.h"
#include "sim/machine/session.h"

namespace sim {

namespace {

// Of what the line carried, a failed wait-serial quotes this much (its end).
constexpr size_t kQuotedSerialText = 400;

using namespace fields;

// How often a waiting step looks again.
constexpr board::Picos kPoll = 100 * board::kPicosPerUs;

// Until `deadline`, again at the next look.
StepOutcome look_again(const StepContext &c, board::Picos deadline)
{
    return StepOutcome::again_at(std::min(deadline, c.session.board.clock.now() + kPoll));
}

std::string key_names()
{
    std::string names;
    constexpr size_t n = std::size(board::Keys::kKeys);
    for (size_t k = 0; k < n; ++k)
        names += std::string(k == 0 ? "" : k + 1 == n ? " or " : ", ") + board::Keys::kKeys[k].name;
    return names;
}

// ---- the display ----

class LcdStep : public Step {
public:
    LcdStep(const YAML::Node &args, bool wait)
    {
        std::string name = wait ? "wait-lcd" : "expect-lcd";
        if (!args.IsMap())
            throw BadScenario{line_of(args), name + " needs { row, col, text" + std::string(wait ? ", timeout" : "") + " }"};
        if (wait)
            only_fields(args, {"row", "col", "text", "timeout"}, name);
        else
            only_fields(args, {"row", "col", "text"}, name);
        if (!args["row"] || !args["text"])
            throw BadScenario{line_of(args), name + " needs a row and a text"};
        row_ = integer(args["row"], "row", 0, 3);
        col_ = args["col"] ? integer(args["col"], "col", 0, 19) : 0;
        std::string text = scalar(args["text"], "text");
        auto codes = text_codes(text);
        if (!codes)
            throw BadScenario{line_of(args["text"]), "text \"" + text + "\" has a character the display cannot show"};
        if (codes->empty() || static_cast<int>(codes->size()) > 20 - col_)
            throw BadScenario{line_of(args["text"]), "text \"" + text + "\" does not fit in row " + std::to_string(row_) +
                                                         " from column " + std::to_string(col_)};
        codes_ = *codes;
        if (wait) {
            if (!args["timeout"])
                throw BadScenario{line_of(args), "wait-lcd needs a timeout"};
            timeout_ = duration(args["timeout"], "timeout");
        }
    }

protected:
    bool shown(const Session &session) const
    {
        return session.row_codes(row_).compare(static_cast<size_t>(col_), codes_.size(), codes_) == 0;
    }
    std::string where() const
    {
        return "\"" + codes_text(codes_) + "\" at column " + std::to_string(col_);
    }

    int row_ = 0, col_ = 0;
    std::string codes_;
    board::Picos timeout_ = 0;
};

class WaitLcd : public LcdStep {
public:
    explicit WaitLcd(const YAML::Node &args) : LcdStep(args, true) {}
    StepOutcome run(StepContext &c) const override
    {
        if (shown(c.session)) return StepOutcome::passed();
        if (c.session.board.clock.now() < c.started + timeout_) return look_again(c, c.started + timeout_);
        return StepOutcome::failed("row " + std::to_string(row_) + " did not show " + where() + " within " +
                                   format_time(timeout_));
    }
};

class ExpectLcd : public LcdStep {
public:
    explicit ExpectLcd(const YAML::Node &args) : LcdStep(args, false) {}
    StepOutcome run(StepContext &c) const override
    {
        if (shown(c.session)) return StepOutcome::passed();
        return StepOutcome::failed("row " + std::to_string(row_) + " does not show " + where());
    }
};

// ---- keys and pins ----

class KeyStep : public Step {
public:
    KeyStep(const YAML::Node &args, bool press) : press_(press)
    {
        std::string name = press ? "press" : "release";
        std::string key = scalar(args, name);
        auto k = board::Keys::find(key);
        if (!k)
            throw BadScenario{line_of(args), "unknown key \"" + key + "\" (" + key_names() + ")"};
        key_ = *k;
    }
    StepOutcome run(StepContext &c) const override
    {
        if (press_)
            c.session.press(key_);
        else
            c.session.release(key_);
        return StepOutcome::passed();
    }

private:
    bool press_;
    int key_ = 0;
};

class ExpectPin : public Step {
public:
    explicit ExpectPin(const YAML::Node &args)
    {
        require_fields(args, {"pin", "level"}, "expect-pin needs { pin, level }");
        only_fields(args, {"pin", "level"}, "expect-pin");
        std::string pin = scalar(args["pin"], "pin");
        int n = -1;
        if (pin.size() >= 3 && pin.size() <= 4 && pin.compare(0, 2, "PA") == 0 &&
            pin.find_first_not_of("0123456789", 2) == std::string::npos)
            n = std::stoi(pin.substr(2));
        if (n < 0 || n > 31)
            throw BadScenario{line_of(args["pin"]), "unknown pin \"" + pin + "\" (PA0 to PA31)"};
        pin_ = n;
        level_ = integer(args["level"], "level", 0, 1);
    }
    StepOutcome run(StepContext &c) const override
    {
        if (c.session.board.pa.level(pin_) == (level_ != 0)) return StepOutcome::passed();
        return StepOutcome::failed("PA" + std::to_string(pin_) + " is " + (level_ ? "0" : "1") + ", expected " +
                                   std::to_string(level_));
    }

private:
    int pin_ = 0, level_ = 0;
};

// ---- time ----

class Delay : public Step {
public:
    explicit Delay(const YAML::Node &args) : time_(duration(args, "delay")) {}
    StepOutcome run(StepContext &c) const override
    {
        if (c.session.board.clock.now() < c.started + time_) return StepOutcome::again_at(c.started + time_);
        return StepOutcome::passed();
    }

private:
    board::Picos time_;
};

// ---- pictures ----

class Screenshot : public Step {
public:
    explicit Screenshot(const YAML::Node &args) : file_(scalar(args, "screenshot")) {}
    StepOutcome run(StepContext &c) const override
    {
        std::string error;
        if (!save_screenshot(c.session, file_, error)) return StepOutcome::failed(error);
        return StepOutcome::passed();
    }
    void files(std::vector<StepFile> &out) const override { out.push_back({"the scenario's screenshot", file_, true}); }

private:
    std::string file_;   // where boardsim runs
};

class ExpectScreenshot : public Step {
public:
    ExpectScreenshot(const YAML::Node &args, const std::string &scenario_path)
        : file_(beside(scenario_path, scalar(args, "expect-screenshot")))
    {
    }
    StepOutcome run(StepContext &c) const override
    {
        std::string report;
        if (!matches_screenshot(c.session, file_, report)) return StepOutcome::failed(report);
        return StepOutcome::passed();
    }
    void files(std::vector<StepFile> &out) const override { out.push_back({"the reference picture", file_, false}); }

private:
    std::string file_;
};

// ---- the debug unit's serial line ----

class WaitSerial : public Step {
public:
    explicit WaitSerial(const YAML::Node &args)
    {
        require_fields(args, {"text", "timeout"}, "wait-serial needs { text, timeout }");
        only_fields(args, {"text", "timeout"}, "wait-serial");
        text_ = scalar(args["text"], "text");
        if (text_.empty())
            throw BadScenario{line_of(args["text"]), "wait-serial: the text is empty"};
        timeout_ = duration(args["timeout"], "timeout");
    }
    // Each wait looks past the text the one before it matched, and at each
    // look only at what arrived since the last.
    StepOutcome run(StepContext &c) const override
    {
        if (!c.serial_search) c.serial_search.emplace(text_, c.serial_from);
        if (auto end = c.serial_search->next(c.session.serial_text())) {
            c.serial_from = *end;
            c.serial_search.reset();
            return StepOutcome::passed();
        }
        if (c.session.board.clock.now() < c.started + timeout_) return look_again(c, c.started + timeout_);
        c.serial_search.reset();
        return StepOutcome::failed("the serial line did not carry \"" + text_ + "\" within " + format_time(timeout_) +
                                   "; since the last match it carried " +
                                   c.session.serial_text().since(c.serial_from, kQuotedSerialText));
    }

private:
    std::string text_;
    board::Picos timeout_ = 0;
};

class WriteSerial : public Step {
public:
    explicit WriteSerial(const YAML::Node &args) : text_(scalar(args, "write-serial")) {}
    StepOutcome run(StepContext &c) const override
    {
        c.session.write_serial(text_);
        return StepOutcome::passed();
    }

private:
    std::string text_;
};

template <class T>
std::unique_ptr<Step> make(const YAML::Node &args, const std::string &)
{
    return std::make_unique<T>(args);
}

template <bool Press>
std::unique_ptr<Step> make_key(const YAML::Node &args, const std::string &)
{
    return std::make_unique<KeyStep>(args, Press);
}

std::unique_ptr<Step> make_expect_screenshot(const YAML::Node &args, const std::string &scenario_path)
{
    return std::make_unique<ExpectScreenshot>(args, scenario_path);
}

}  // namespace

const std::vector<StepType> &step_types()
{
    static const std::vector<StepType> types{
        {"wait-lcd", "{ row, col, text, timeout }", false, make<WaitLcd>},
        {"expect-lcd", "{ row, col, text }", true, make<ExpectLcd>},
        {"press", "KEY", true, make_key<true>},
        {"release", "KEY", true, make_key<false>},
        {"delay", "TIME", false, make<Delay>},
        {"expect-pin", "{ pin, level }", true, make<ExpectPin>},
        {"screenshot", "FILE.png", true, make<Screenshot>},
        {"expect-screenshot", "FILE.png", true, make_expect_screenshot},
        {"wait-serial", "{ text, timeout }", false, make<WaitSerial>},
        {"write-serial", "TEXT", true, make<WriteSerial>},
    };
    return types;
}

const StepType *find_step_type(const std::string &name)
{
    for (const auto &t : step_types())
        if (name == t.name) return &t;
    return nullptr;
}

std::string step_type_names()
{
    std::string names;
    for (const auto &t : step_types())
        names += std::string(names.empty() ? "" : ", ") + t.name;
    return names;
}

}  // namespace sim
