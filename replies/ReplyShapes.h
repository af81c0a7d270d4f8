#pragma once
// What the answer to each query looks like. The protocol carries no tags, so a reply is
// placed by order, timing and shape: one that does not fit what is awaited is not read as
// it. The shapes are those the instrument writes, strict enough that the answers of
// different families are told apart.
#include "replies/ReplyCodes.h"

#include <QString>

// How the instrument answers "fetch?" depends on the mode it was put in.
enum class MeasurementLayout { Main, Battery, List };

// Replies of one family can look alike; replies of different families, as the instrument
// writes them, do not, with one exception that ShapesOverlap names: the Main reading is cut
// by position, so a step level with a dwell of five digits ("0.200,10000s") cuts as one.
// An identity is text with a comma that fits no other family's shape, so it overlaps none.
enum class ShapeFamily {
    None,
    Number,
    Word,
    LevelWidth,
    StepLevel,
    StepCompare,
    Measurement,
    Identity,
    Anything
};

ShapeFamily FamilyOf(ReplyCode code);

// Whether one reply could be taken for the answer to either: same family, either is
// Anything, or a measurement and a step level. Nothing is taken for the answer to None,
// which awaits none.
bool ShapesOverlap(ReplyCode a, ReplyCode b);

// Whether `reply` is shaped as the answer to the query that carries `code` (trailing CR/LF
// terminators ignored; any other extra character, a blank or NUL included, does not fit).
// `layout` matters only for ReplyCode::Measurement.
bool FitsShape(ReplyCode code, MeasurementLayout layout, const QString& reply);

// What the answer to `code` looks like, for the operator's message: e.g. "a number with or
// without the unit \"A\"".
QString ExpectedShape(ReplyCode code, MeasurementLayout layout);
