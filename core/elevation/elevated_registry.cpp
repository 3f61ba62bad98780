#include "core/elevation/elevated_registry.h"

bool KtElevatedRegistry::Open(std::string_view path) {
    keyPath_ = path;
    return true;
}

// The view is write-only: it cannot know, so it claims the value exists and
// lets the reads fall back to their defaults.
bool KtElevatedRegistry::ValueExists(std::string_view) {
    return true;
}

std::string KtElevatedRegistry::ReadString(std::string_view, std::string_view defaultValue) {
    return std::string(defaultValue);
}

std::string KtElevatedRegistry::ReadString(std::string_view) {
    return {};
}

int32_t KtElevatedRegistry::ReadInt(std::string_view, int32_t defaultValue) {
    return defaultValue;
}

int32_t KtElevatedRegistry::ReadInt(std::string_view) {
    return 0;
}

void KtElevatedRegistry::WriteString(std::string_view name, std::string_view value) {
    if (elevated_ != nullptr) {
        elevated_->WriteString(keyPath_, name, value);
    }
}

void KtElevatedRegistry::WriteInt(std::string_view name, int32_t value) {
    if (elevated_ != nullptr) {
        elevated_->WriteInt(keyPath_, name, value);
    }
}

bool KtElevatedRegistry::DeleteValue(std::string_view name) {
    return elevated_ != nullptr && Succeeded(elevated_->DeleteValue(keyPath_, name));
}
