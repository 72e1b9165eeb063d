// Scriptable objects. An application that answers get-data events describes its objects as a
// model (how many elements of a class an object holds, their names, an object's properties),
// and one resolver reads the event's object specifier against it, so that every application
// accepts and refuses the same specifier forms and differs only in what it holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/standard_suite.h"

namespace platform {

// An object of a model: the application itself (no steps), or an element reached from it, one
// step per level: the element's class and its index, counted from 0, among the elements of that
// class in the object before it. The resolver makes only references to elements the model
// counted, so a model reads its indexes without checking them again.
struct ObjectReference {
    struct Step {
        DescType elementClass;
        std::size_t index;
    };
    std::vector<Step> steps;

    // The class of the object referred to: cApplication for the application.
    DescType objectClass() const {
        return steps.empty() ? cApplication : steps.back().elementClass;
    }
    // Its index among its container's elements of its class (0 for the application).
    std::size_t index() const { return steps.empty() ? 0 : steps.back().index; }
};

class ObjectModel {
  public:
    virtual ~ObjectModel() = default;

    // How many elements of a class an object holds; 0 for a class it holds none of.
    virtual std::size_t countElements(const ObjectReference& container,
                                      DescType elementClass) const = 0;
    // The name of an object: the application's own, or an element's, by which the name form
    // finds it. It is the object's name property too. Absent when the object has none.
    virtual std::optional<std::string> name(const ObjectReference& object) const = 0;
    // Any other property of an object; absent when the object has no such property, or no value
    // for it.
    virtual std::optional<AppleEventDescriptor> property(const ObjectReference& object,
                                                         DescType code) const = 0;
};

// The answer to a get-data event: the value for the reply's direct object, or an error number.
struct GetDataAnswer {
    std::optional<AppleEventDescriptor> value;
    OSStatus error = noErr;

    // Sets the value as the reply's direct object, or the error number as its 'errn'.
    void fill(AppleEventDescriptor& reply) const;
};

// Answers a get-data event ('core'/'getd') by resolving its direct object, an object specifier
// (an 'obj ' record of 'want', 'from', 'form' and 'seld'; the null descriptor is the
// application), against a model, as scriptable applications do:
// - a property ('prop' form) of any object answers its value, the name as text;
// - an element of an object is found by index ('indx' form with an integer: 1 is the first,
//   -1 the last), by ordinal (first, middle, last, as 'abso' or enumerated data) or by name;
//   an element that exists but is no property answers its own specifier.
// Everything else answers errAENoSuchObject (-1728): no direct object, an element that is not
// there, a property the object lacks, the parts of a property's value, every element or any
// one, ranges, tests, user properties, a descriptor that is no specifier, and a specifier with
// more than kMaximumSpecifierDepth specifiers nested inside it as containers. Another event
// answers errAEEventNotHandled (-1708).
GetDataAnswer answerGetData(const AppleEventDescriptor& event, const ObjectModel& model);
inline constexpr int kMaximumSpecifierDepth = 16;

}  // namespace platform
