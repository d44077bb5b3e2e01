// URL, query and file-name utilities shared by the web gateway and the
// link relay. Positions are 1-based; 0 means not found.
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

std::string UrlDecode(const std::string& text, bool lastHttp);
std::string QueryValue(const std::string& query, const std::string& name);
int FindLast(const std::string& haystack, const std::string& needle);
int FindLastChar(const std::string& text, const std::string& ch);
std::string NextTokenLast(std::string& text, const std::string& delimiter);

// Whole files by their Windows-style names, through the files layer.
std::string ReadTextFile(const Files& files, const std::string& path);
bool WriteTextFile(const Files& files, const std::string& content, const std::string& path);

// Gives session k a temporary file (its tempfile) when it has none.
void MakeTempFileName(Gateway& g, int k);

// Records one hit in the hit log of that letter.
void CountHit(Gateway& g, const std::string& letter);

}  // namespace korvane
