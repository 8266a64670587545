#pragma once
namespace corvane {
class TemporaryTarget
{
};
} // namespace corvane
