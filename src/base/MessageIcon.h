#pragma once

namespace sonavert {

// The icon of a message shown to the user: notices, rejected input, questions, start-up failure.
enum class MessageIcon { Information, Warning, Question, Error };

}  // namespace sonavert
