#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "parser.h"
#include "script_test_support.h"

namespace {

using platform::AppleEventDescriptor;
using platform::NSAppleScriptErrorMessage;
using platform::NSAppleScriptErrorRange;
using script_test::runScript;
using script_test::ScriptRun;
using script_test::subroutineCall;

class ScriptLanguageTest : public ::testing::Test {
  protected:
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};

    // The run's result in its descriptive form, or the error.
    std::string evaluate(const std::string& source) {
        const ScriptRun run = runScript(source);
        if (!run.result) {
            return "error " + std::to_string(run.errorNumber()) + ": " +
                   run.errorText(NSAppleScriptErrorMessage);
        }
        return run.result->description();
    }
};

TEST_F(ScriptLanguageTest, LiteralsAndOperators) {
    EXPECT_EQ(evaluate("return \"a\" & \"b\" & 3"), "'utxt'(\"ab3\")");
    EXPECT_EQ(evaluate("return 7 div 2 + 7 mod 2 * 10"), "'long'(13)");
    EXPECT_EQ(evaluate("return 1 / 4"), "'doub'(0.25)");
    EXPECT_EQ(evaluate("return -(2 - 5)"), "'long'(3)");
    EXPECT_EQ(evaluate("return 1.5 as text"), "'utxt'(\"1.5\")");
    EXPECT_EQ(evaluate("return \"\" & 2.0"), "'utxt'(\"2.0\")");
    // The left operand decides: a number and a text make a list.
    EXPECT_EQ(evaluate("return 2.0 & \"\""), "['doub'(2), 'utxt'(\"\")]");
    EXPECT_EQ(evaluate("return \"12\" as integer"), "'long'(12)");
    EXPECT_EQ(evaluate("return \"say \\\"hi\\\"\\n\""), "'utxt'(\"say \\\"hi\\\"\\x0A\")");
    EXPECT_EQ(evaluate("return {1, \"x\"} & {true}"), "['long'(1), 'utxt'(\"x\"), 'bool'(true)]");
    EXPECT_EQ(evaluate("return 1 & 2"), "['long'(1), 'long'(2)]");
    // Text comparisons ignore case, as the language does by default.
    EXPECT_EQ(evaluate("return \"ABC\" is \"abc\" and \"abc\" starts with \"A\""), "'bool'(true)");
    EXPECT_EQ(evaluate("return \"abc\" ends with \"bc\" and not (\"abc\" contains \"x\")"),
              "'bool'(true)");
    EXPECT_EQ(evaluate("return {3 > 2, 2 ≥ 3, \"b\" < \"a\", 2 is not 2.0, 3 is in {1, 3}}"),
              "['bool'(true), 'bool'(false), 'bool'(false), 'bool'(false), 'bool'(true)]");
    EXPECT_EQ(evaluate("return missing value is missing value"), "'bool'(true)");
    EXPECT_EQ(evaluate("return {} is {}"), "'bool'(true)");
    // Reals beyond the range of reals are infinite, below it zero.
    EXPECT_EQ(evaluate("return 2.5e-1 + .5 + 1.0E+1"), "'doub'(10.75)");
    EXPECT_EQ(evaluate("return {1e999 > 1.0e308, 12.5e-999 = 0, 0.001e-330 = 0, 1e-310 > 0}"),
              "['bool'(true), 'bool'(true), 'bool'(true), 'bool'(true)]");
    // Where the first digit stands decides, not the exponent's sign alone.
    const std::string zeros(400, '0');
    EXPECT_EQ(evaluate("return {1" + zeros + "e-50 > 1.0e308, 0." + zeros + "1e50 = 0}"),
              "['bool'(true), 'bool'(true)]");
    // Line continuation and both kinds of comment.
    EXPECT_EQ(evaluate("(* a (* nested *) comment *) return 1 + ¬\n 2 -- done"), "'long'(3)");
}

TEST_F(ScriptLanguageTest, RecordsCarryUserFields) {
    const ScriptRun run = runScript("return {name:\"n\", |text|:\"t\", uuid:1}");
    ASSERT_TRUE(run.result.has_value());
    EXPECT_EQ(run.result->descriptorForKeyword(platform::fourCharCode("pnam"))->stringValue(), "n");
    const auto fields = run.result->descriptorForKeyword(platform::keyASUserRecordFields);
    ASSERT_TRUE(fields.has_value());
    ASSERT_EQ(fields->numberOfItems(), 4);
    EXPECT_EQ(fields->descriptorAtIndex(1)->stringValue(), "text");
    EXPECT_EQ(fields->descriptorAtIndex(2)->stringValue(), "t");
    EXPECT_EQ(fields->descriptorAtIndex(3)->stringValue(), "uuid");
    EXPECT_EQ(fields->descriptorAtIndex(4)->int32Value(), 1);

    EXPECT_EQ(evaluate("set r to {name:\"n\", uuid:\"u\"}\nreturn (name of r) & uuid of r"),
              "'utxt'(\"nu\")");
    EXPECT_EQ(evaluate("return count of {a:1, b:2}"), "'long'(2)");
    EXPECT_THAT(evaluate("return b of {a:1}"), ::testing::StartsWith("error -1728"));
}

TEST_F(ScriptLanguageTest, TextElements) {
    const std::string setup = "set t to \"first line\r\nsecond line\nthird\"\n";
    EXPECT_EQ(evaluate(setup + "return first paragraph of t"), "'utxt'(\"first line\")");
    EXPECT_EQ(evaluate(setup + "return paragraph -1 of t"), "'utxt'(\"third\")");
    EXPECT_EQ(evaluate(setup + "return count of paragraphs of t"), "'long'(3)");
    EXPECT_EQ(evaluate(setup + "return word 2 of t"), "'utxt'(\"line\")");
    EXPECT_EQ(evaluate("return text 2 thru -2 of \"<id@host>\""), "'utxt'(\"id@host\")");
    EXPECT_EQ(evaluate("return characters 1 thru 2 of \"äbc\""), "['utxt'(\"ä\"), 'utxt'(\"b\")]");
    EXPECT_EQ(evaluate("return length of \"äbc\""), "'long'(3)");
    EXPECT_EQ(evaluate("return item 2 of {1, 2, 3}"), "'long'(2)");
    EXPECT_EQ(evaluate("return last item of {1, 2, 3}"), "'long'(3)");
    EXPECT_EQ(evaluate("return items 2 thru 3 of {1, 2, 3}"), "['long'(2), 'long'(3)]");
    EXPECT_EQ(evaluate("return id of \"ä\""), "'long'(228)");
    EXPECT_EQ(evaluate("return id of \"a😀\""), "['long'(97), 'long'(128512)]");
    EXPECT_EQ(evaluate("return POSIX path of \"file:///tmp/a%20b.txt\""),
              "'utxt'(\"/tmp/a b.txt\")");
    EXPECT_THAT(evaluate("return paragraph 4 of \"a\nb\""),
                ::testing::AllOf(::testing::StartsWith("error -1728"),
                                 ::testing::HasSubstr("paragraph 4 of \"a\nb\"")));
    EXPECT_THAT(evaluate("return item 0 of {}"), ::testing::StartsWith("error -1728"));
}

TEST_F(ScriptLanguageTest, ControlFlow) {
    EXPECT_EQ(evaluate("set x to 5\n"
                       "if x > 10 then\n"
                       "  set y to \"big\"\n"
                       "else if x > 3 then\n"
                       "  set y to \"middle\"\n"
                       "else\n"
                       "  set y to \"small\"\n"
                       "end if\n"
                       "return y"),
              "'utxt'(\"middle\")");
    EXPECT_EQ(evaluate("set total to 0\n"
                       "repeat with i from 1 to 10 by 3\n"
                       "  set total to total + i\n"
                       "end repeat\n"
                       "repeat with w in {\"a\", \"b\"}\n"
                       "  set total to (total as text) & w\n"
                       "end repeat\n"
                       "return total"),
              "'utxt'(\"22ab\")");
    EXPECT_EQ(evaluate("set n to 0\n"
                       "repeat\n"
                       "  set n to n + 1\n"
                       "  if n is 4 then exit repeat\n"
                       "end repeat\n"
                       "repeat 2 times\n"
                       "  set n to n * 2\n"
                       "end repeat\n"
                       "repeat until n < 10\n"
                       "  set n to n - 7\n"
                       "end repeat\n"
                       "return n"),
              "'long'(9)");
    // A return inside nested blocks leaves the whole run.
    EXPECT_EQ(evaluate("repeat while true\n  try\n    return \"out\"\n  end try\nend repeat"),
              "'utxt'(\"out\")");
    // Counting up to the largest integer stops there instead of wrapping around.
    EXPECT_EQ(evaluate("set n to 0\n"
                       "repeat with i from (\"9223372036854775806\" as integer) to "
                       "(\"9223372036854775807\" as integer)\n"
                       "  set n to n + 1\n"
                       "end repeat\n"
                       "return n"),
              "'long'(2)");
    const ScriptRun negated = runScript("return -(\"-9223372036854775808\" as integer)");
    ASSERT_TRUE(negated.result.has_value());
    EXPECT_EQ(negated.result->descriptorType(), platform::typeIEEE64BitFloatingPoint);
    // Without a return, the last statement's value is the result.
    EXPECT_EQ(evaluate("set a to 1\nset b to a + 1"), "'long'(2)");
}

// The variable of `repeat with x in …` refers to an item: every use reads the item, but `=` and
// `≠` compare the reference itself, so a script that means the item writes `contents of x`.
TEST_F(ScriptLanguageTest, TheLoopVariableOfRepeatInIsAReferenceToAnItem) {
    const auto each = [](const std::string& body) {
        return "set out to {}\nrepeat with c in \"a[\"\n" + body + "\nend repeat\nreturn out";
    };
    const struct {
        const char* body;
        const char* result;
    } cases[] = {
        {"set out to out & {(c is \"[\")}", "['bool'(false), 'bool'(false)]"},
        {"set out to out & {(c is not \"a\")}", "['bool'(true), 'bool'(true)]"},
        {"set out to out & {(contents of c is \"[\")}", "['bool'(false), 'bool'(true)]"},
        {"set out to out & {((c as text) = \"[\")}", "['bool'(false), 'bool'(true)]"},
        {"set out to out & {c & \"!\"}", "['utxt'(\"a!\"), 'utxt'(\"[!\")]"},
        {"set out to out & {(c starts with \"[\")}", "['bool'(false), 'bool'(true)]"},
        {"set d to c\nset out to out & {(d = c)}", "['bool'(true), 'bool'(true)]"},
        {"set out to out & {c}", "['utxt'(\"a\"), 'utxt'(\"[\")]"},
    };
    for (const auto& [body, result] : cases) {
        EXPECT_EQ(evaluate(each(body)), result) << body;
    }
    EXPECT_EQ(evaluate("set n to 0\nrepeat with x in {1, 2, 3}\nset n to n + x\nend repeat\n"
                       "return n"),
              "'long'(6)");
    EXPECT_EQ(evaluate("repeat with x in {\"id: 7\"}\nreturn text 5 thru -1 of x\nend repeat"),
              "'utxt'(\"7\")");
}

TEST_F(ScriptLanguageTest, ErrorsAreRaisedAndCaught) {
    EXPECT_EQ(evaluate("try\n"
                       "  error \"broken\" number 42\n"
                       "on error message number code\n"
                       "  return message & \" \" & code\n"
                       "end try"),
              "'utxt'(\"broken 42\")");
    EXPECT_EQ(evaluate("try\n  set x to 1 / 0\nend try\nreturn \"survived\""),
              "'utxt'(\"survived\")");

    const ScriptRun raised = runScript("set x to 1\nerror \"gave up\" number -128");
    EXPECT_FALSE(raised.result.has_value());
    EXPECT_EQ(raised.errorNumber(), -128);
    EXPECT_EQ(raised.errorText(NSAppleScriptErrorMessage), "gave up");
    EXPECT_EQ(raised.errorText(platform::NSAppleScriptErrorBriefMessage), "gave up");
    EXPECT_EQ(raised.errorText(NSAppleScriptErrorRange), "NSRange: {11, 27}");

    const ScriptRun undefined = runScript("return 1 + nothingHere");
    EXPECT_EQ(undefined.errorNumber(), -2753);
    EXPECT_EQ(undefined.errorText(NSAppleScriptErrorRange), "NSRange: {11, 11}");

    // Ranges count characters as the platform does, not bytes.
    EXPECT_EQ(runScript("set s to \"äö😀\"\nreturn s + nothing").errorText(NSAppleScriptErrorRange),
              "NSRange: {27, 7}");

    EXPECT_EQ(runScript("return \"a\" + 1").errorNumber(), -1700);
    EXPECT_EQ(runScript("return missing value as text").errorNumber(), -1700);
    EXPECT_EQ(runScript("return 3 mod 0").errorNumber(), -2701);
}

TEST_F(ScriptLanguageTest, HandlersRunFromSubroutineEvents) {
    const std::string source =
        "on handle_callback(params)\n"
        "  set theText to \"\"\n"
        "  try\n"
        "    set theText to |text| of params\n"
        "  end try\n"
        "  if theText is \"\" then return {\"\", 0}\n"
        "  return {first paragraph of theText, twice(count of theText)}\n"
        "end handle_callback\n"
        "to twice(n)\n"
        "  n * 2\n"
        "end twice\n";
    auto script = platform::applescript::makeScript(source);

    AppleEventDescriptor params = AppleEventDescriptor::recordDescriptor();
    AppleEventDescriptor fields = AppleEventDescriptor::listDescriptor();
    fields.insertDescriptor(AppleEventDescriptor::descriptorWithString("text"), 0);
    fields.insertDescriptor(AppleEventDescriptor::descriptorWithString("Title\nbody"), 0);
    params.setDescriptor(fields, platform::keyASUserRecordFields);

    platform::ScriptErrorInfo error;
    const auto result =
        script->executeAppleEvent(subroutineCall("handle_callback", {params}), &error);
    ASSERT_TRUE(result.has_value()) << error.size();
    EXPECT_EQ(result->description(), "['utxt'(\"Title\"), 'long'(20)]");

    // A record without the field leaves the default; the handler name ignores case.
    const auto empty = script->executeAppleEvent(
        subroutineCall("Handle_Callback", {AppleEventDescriptor::recordDescriptor()}), &error);
    ASSERT_TRUE(empty.has_value());
    EXPECT_THAT(empty->description(), ::testing::HasSubstr("'long'(0)"));

    platform::ScriptErrorInfo unknown;
    EXPECT_FALSE(script->executeAppleEvent(subroutineCall("missing_handler", {}), &unknown));
    EXPECT_EQ(unknown[platform::NSAppleScriptErrorNumber].integerValue(), -1708);

    platform::ScriptErrorInfo wrongCount;
    EXPECT_FALSE(script->executeAppleEvent(subroutineCall("twice", {}), &wrongCount));
    EXPECT_EQ(wrongCount[platform::NSAppleScriptErrorNumber].integerValue(), -1721);

    platform::ScriptErrorInfo otherEvent;
    const auto notSubroutine = AppleEventDescriptor::appleEventWithEventClass(
        platform::kAECoreSuite, platform::kAEGetData, AppleEventDescriptor::nullDescriptor(), -1,
        0);
    EXPECT_FALSE(script->executeAppleEvent(notSubroutine, &otherEvent));
    EXPECT_EQ(otherEvent[platform::NSAppleScriptErrorNumber].integerValue(), -1708);

    // Calling an undefined handler from the script itself fails the same way.
    EXPECT_EQ(runScript("nope(1)").errorNumber(), -1708);
}

TEST_F(ScriptLanguageTest, SyntaxErrorsAnswerTheirRange) {
    struct Case {
        const char* source;
        std::size_t offset;
    };
    const Case cases[] = {
        {"set x to", 8},
        {"return \"unterminated", 7},
        {"if true then\n  return 1\nend tell", 28},
        {"tell application \"A\"\n  get 1", 28},
        {"set x to {1, 2", 14},
        {"return 1 2", 9},
        {"set to 3", 4},
        {"return 1 @ 2", 9},
        {"exit repeat", 0},
        {"try\n  get 1\nend try\non run\n  try\n  on x()\n  end x\n  end try\nend run", 35},
        {"return first 3", 13},
        {"tell (first application process whose name is \"x\")\nend tell", 12},
        {"(* never closed", 0},
        {"on a()\nend a\non a()\nend a", 16},
        // Ranges count UTF-16 units: "é" is one, "😀" two.
        {"set x to \"é😀\"\nreturn 1 ¤ 2", 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        const ScriptRun run = runScript(c.source);
        EXPECT_FALSE(run.result.has_value());
        EXPECT_EQ(run.errorNumber(), -2741);
        EXPECT_FALSE(run.errorText(NSAppleScriptErrorMessage).empty());
        EXPECT_THAT(run.errorText(NSAppleScriptErrorRange),
                    ::testing::StartsWith("NSRange: {" + std::to_string(c.offset) + ", "));
    }
}

TEST_F(ScriptLanguageTest, CompilesOnFirstRunOnly) {
    auto script = platform::applescript::makeScript("return \"never");
    EXPECT_EQ(script->source(), "return \"never");
    platform::ScriptErrorInfo first;
    platform::ScriptErrorInfo second;
    EXPECT_FALSE(script->executeAndReturnError(&first));
    EXPECT_FALSE(script->executeAndReturnError(&second));
    EXPECT_EQ(first, second);
    EXPECT_FALSE(script->executeAndReturnError(nullptr));
}

TEST_F(ScriptLanguageTest, NestingDepthIsBounded) {
    const int depth = platform::applescript::kMaximumNestingDepth;
    std::string parenthesised(static_cast<std::size_t>(depth * 4), '(');
    parenthesised = "return " + parenthesised + "1" + std::string(parenthesised.size(), ')');
    EXPECT_EQ(runScript(parenthesised).errorNumber(), -2741);

    std::string blocks;
    for (int i = 0; i < depth * 2; ++i) {
        blocks += "if true then\n";
    }
    for (int i = 0; i < depth * 2; ++i) {
        blocks += "end if\n";
    }
    const ScriptRun deep = runScript(blocks);
    EXPECT_EQ(deep.errorNumber(), -2741);
    EXPECT_THAT(deep.errorText(NSAppleScriptErrorMessage), ::testing::HasSubstr("nested"));

    // A modest nesting is fine.
    EXPECT_EQ(evaluate("return ((((((1))))))"), "'long'(1)");
    EXPECT_EQ(evaluate("return {{{{{{}}}}}}"), "[[[[[[]]]]]]");
}

TEST_F(ScriptLanguageTest, RunawayScriptsHitTheBudget) {
    platform::applescript::Options options;
    options.maximumSteps = 10'000;
    const ScriptRun loop = runScript("repeat\nend repeat", options);
    EXPECT_EQ(loop.errorNumber(), -1712);
    // A try inside the loop cannot swallow the budget.
    const ScriptRun guarded =
        runScript("repeat\n  try\n    set x to 1\n  on error\n  end try\nend repeat", options);
    EXPECT_EQ(guarded.errorNumber(), -1712);

    options.maximumSteps = 100'000'000;
    options.maximumSeconds = 0.2;
    EXPECT_EQ(runScript("repeat while true\nend repeat", options).errorNumber(), -1712);

    // Endless recursion stops at the call depth bound, and try does not hide it.
    const ScriptRun recursion =
        runScript("on f(n)\n  try\n    return f(n + 1)\n  end try\nend f\nreturn f(1)", options);
    EXPECT_EQ(recursion.errorNumber(), -2706);

    // Recursion through deeply nested expressions stops at the evaluation depth bound.
    std::string nested = "f(n + 1)";
    for (int i = 0; i < 15; ++i) {
        nested = "1 + (" + nested + ")";
    }
    const ScriptRun deep = runScript("on f(n)\n  return " + nested + "\nend f\nreturn f(1)");
    EXPECT_EQ(deep.errorNumber(), -2706);
    EXPECT_FALSE(deep.errorText(NSAppleScriptErrorRange).empty());
}

TEST_F(ScriptLanguageTest, ValuesGrowingPastTheirBoundsEndTheRunNotTheProcess) {
    struct Case {
        const char* name;
        std::string source;
    };
    const std::vector<Case> cases = {
        {"doubling a text", "set t to \"x\"\nrepeat 40 times\n  set t to t & t\nend repeat"},
        {"doubling a list", "set l to {1}\nrepeat 40 times\n  set l to l & l\nend repeat"},
        {"splitting many paragraphs",
         "set t to linefeed\nrepeat 20 times\n  set t to t & t\nend repeat\n"
         "return count of paragraphs of t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScriptRun run = runScript(c.source);
        EXPECT_FALSE(run.result.has_value());
        EXPECT_EQ(run.errorNumber(), platform::applescript::kOutOfMemory);
        EXPECT_THAT(run.errorText(NSAppleScriptErrorMessage), ::testing::StartsWith("A "));
    }
}

// Searching and splitting text, the text item delimiters and the home folder; each row is a
// script and its result.
TEST_F(ScriptLanguageTest, TextSearchSplitAndHomeFolder) {
    const std::string reverse =
        "on f(theText)\nset out to \"\"\nrepeat with i from 1 to count of theText\n"
        "set c to character i of theText\nset out to c & out\nend repeat\nreturn out\nend f\n";
    const std::pair<std::string, std::string> rows[] = {
        {"return offset of \"LO\" in \"Hello\"", "'long'(4)"},
        {"return offset of \"b\" in \"äb\"", "'long'(2)"},
        {"return offset of \"z\" in \"Hello\"", "'long'(0)"},
        {"return AppleScript's text item delimiters", "['utxt'(\"\")]"},
        {"return text items of \"ab\"", "['utxt'(\"a\"), 'utxt'(\"b\")]"},
        {"set AppleScript's text item delimiters to \", \"\nreturn text items of \"a, b,, c\"",
         "['utxt'(\"a\"), 'utxt'(\"b,\"), 'utxt'(\"c\")]"},
        {"set AppleScript's text item delimiters to {\"/\", \"X\"}\n"
         "return {text item 3 of \"a/bxc\", {1, 2} as text, AppleScript's text item delimiters}",
         "['utxt'(\"c\"), 'utxt'(\"1/2\"), ['utxt'(\"/\"), 'utxt'(\"X\")]]"},
        {"set AppleScript’s text item delimiters to \"-\"\n"
         "return (text 1 thru 2 of \"abc\") & ({\"a\", \"b\"} as text)",
         "'utxt'(\"aba-b\")"},
        {"on j(l)\nreturn \"\" & l\nend j\nset AppleScript's text item delimiters to \"+\"\n"
         "return j({1, 2})",
         "'utxt'(\"1+2\")"},
        {"return text items of \"\"", "[]"},
        {"return POSIX path of (path to home folder)", "'utxt'(\"/home/user/\")"},
        {"return text 1 thru 5 of \"Hello, world\"", "'utxt'(\"Hello\")"},
        {"return characters 2 thru -1 of \"abc\"", "['utxt'(\"b\"), 'utxt'(\"c\")]"},
        {"set i to 2\nset j to -1\nreturn characters i thru j of \"abcd\"",
         "['utxt'(\"b\"), 'utxt'(\"c\"), 'utxt'(\"d\")]"},
        {reverse + "return f(\"abc\")", "'utxt'(\"cba\")"},
    };
    for (const auto& [source, expected] : rows) {
        EXPECT_EQ(evaluate(source), expected) << source;
    }
    EXPECT_THAT(evaluate("return text item 2 of \"a\""), ::testing::StartsWith("error -1728"));
}

TEST_F(ScriptLanguageTest, ParserKnowsMultiWordTerms) {
    const auto parsed = platform::applescript::parse(
        "set x to reference URL of item 1 of y\nset z to message id of y");
    ASSERT_TRUE(std::holds_alternative<platform::applescript::Program>(parsed));
    const auto& program = std::get<platform::applescript::Program>(parsed);
    ASSERT_EQ(program.run.size(), 2u);
    const auto& first = *program.run[0]->children[0];
    EXPECT_EQ(first.code, platform::fourCharCode("rURL"));
    ASSERT_NE(first.container, nullptr);
    EXPECT_EQ(first.container->code, platform::fourCharCode("cobj"));
    EXPECT_EQ(program.run[1]->children[0]->code, platform::fourCharCode("meid"));
}

}  // namespace
