#include "AudioFiles.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace qbrender {

std::unique_ptr<SoundFileSource> SoundFileSource::Open(const std::string& path, std::string& error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return nullptr;
  }
  std::unique_ptr<SoundFileSource> source(new SoundFileSource);
  source->mFile = file;
  source->mPath = path;
  if (info.channels < 1 || info.samplerate < 1) {
    error = "cannot read '" + path + "': no channels or no sample rate";
    return nullptr;
  }
  if (info.frames < 1) {
    error = "'" + path + "' holds no audio";
    return nullptr;
  }
  source->mFrames = info.frames;
  source->mSampleRate = info.samplerate;
  source->mChannels = info.channels;
  return source;
}

SoundFileSource::~SoundFileSource() {
  if (mFile) sf_close(mFile);
}

bool SoundFileSource::Read(double* left, double* right, int n, std::string& error) {
  const int64_t wanted = std::clamp<int64_t>(mFrames - mPosition, 0, n);
  int64_t got = 0;
  if (wanted > 0) {
    mInterleaved.resize(static_cast<size_t>(wanted) * static_cast<size_t>(mChannels));
    got = sf_readf_double(mFile, mInterleaved.data(), wanted);
    if (got != wanted) {
      error = "read error in '" + mPath + "': " + (sf_error(mFile) ? sf_strerror(mFile) : "the file ends early");
      return false;
    }
  }
  const size_t stride = static_cast<size_t>(mChannels);
  for (int64_t i = 0; i < got; ++i) {
    const double* frame = mInterleaved.data() + static_cast<size_t>(i) * stride;
    left[i] = frame[0];
    right[i] = mChannels > 1 ? frame[1] : frame[0];
    if (!std::isfinite(left[i]) || !std::isfinite(right[i])) {
      char at[32];
      std::snprintf(at, sizeof at, "%.3f", static_cast<double>(mPosition + i) / mSampleRate);
      error = "'" + mPath + "' holds a sample that is not a number, at " + at + " s";
      return false;
    }
  }
  std::fill(left + got, left + n, 0.0);
  std::fill(right + got, right + n, 0.0);
  mPosition += got;
  return true;
}

BufferSource::BufferSource(std::vector<float> left, std::vector<float> right, double sampleRate)
    : mLeft(std::move(left)), mRight(std::move(right)), mSampleRate(sampleRate) {
  mRight.resize(mLeft.size(), 0.0f);
}

bool BufferSource::Read(double* left, double* right, int n, std::string&) {
  for (int i = 0; i < n; ++i, ++mPosition) {
    const bool inside = mPosition < mLeft.size();
    left[i] = inside ? mLeft[mPosition] : 0.0;
    right[i] = inside ? mRight[mPosition] : 0.0;
  }
  return true;
}

bool OutputTypeFor(const std::string& fileName, OutputType& type, std::string& error) {
  const size_t dot = fileName.rfind('.');
  const size_t slash = fileName.rfind('/');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : fileName.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == "wav") {
    type = {SF_FORMAT_WAV | SF_FORMAT_FLOAT, false};
  } else if (ext == "aif" || ext == "aiff") {
    type = {SF_FORMAT_AIFF | SF_FORMAT_FLOAT, false};
  } else if (ext == "flac") {
    type = {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, true};
  } else {
    error = "cannot write '" + fileName + "': the name must end in .wav, .flac, .aif or .aiff";
    return false;
  }
  return true;
}

std::unique_ptr<SoundFileSink> SoundFileSink::OpenFd(int fd, const OutputType& type, double sampleRate,
                                                     std::string& error) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(sampleRate);
  info.channels = 2;
  info.format = type.sndfileFormat;
  if (!sf_format_check(&info)) {
    close(fd);
    error = "this output type cannot hold " + std::to_string(info.samplerate) + " Hz stereo";
    return nullptr;
  }
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  if (!file) {
    close(fd);
    error = std::string("cannot start the output file: ") + sf_strerror(nullptr);
    return nullptr;
  }
  if (type.integerSamples) sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  std::unique_ptr<SoundFileSink> sink(new SoundFileSink);
  sink->mFile = file;
  sink->mFd = fd;
  return sink;
}

SoundFileSink::~SoundFileSink() {
  if (mFile) sf_close(mFile);
  if (mFd >= 0) close(mFd);
}

bool SoundFileSink::Write(const double* left, const double* right, int n, std::string& error) {
  if (!mFile) {
    error = "the output file is closed";
    return false;
  }
  mInterleaved.resize(static_cast<size_t>(n) * 2);
  for (int i = 0; i < n; ++i) {
    mInterleaved[2 * static_cast<size_t>(i)] = left[i];
    mInterleaved[2 * static_cast<size_t>(i) + 1] = right[i];
  }
  if (sf_writef_double(mFile, mInterleaved.data(), n) != n) {
    error = std::string("write error: ") + sf_strerror(mFile);
    return false;
  }
  return true;
}

bool SoundFileSink::Close(std::string& error) {
  if (!mFile) return true;
  sf_write_sync(mFile);
  const int err = sf_error(mFile);
  const std::string reason = err ? sf_strerror(mFile) : "";
  const int closed = sf_close(mFile);
  mFile = nullptr;
  const int fdClosed = close(mFd);
  mFd = -1;
  if (err || closed != 0 || fdClosed != 0) {
    error = "write error: " + (err ? reason : closed ? std::string(sf_error_number(closed)) : "the file could not be closed");
    return false;
  }
  return true;
}

bool CopyAll(StereoSource& source, FrameSink& sink, std::string& error) {
  constexpr int kBlock = 4096;
  std::vector<double> left(kBlock), right(kBlock);
  for (int64_t done = 0; done < source.Frames(); done += kBlock) {
    const int n = static_cast<int>(std::min<int64_t>(kBlock, source.Frames() - done));
    if (!source.Read(left.data(), right.data(), n, error) || !sink.Write(left.data(), right.data(), n, error))
      return false;
  }
  return true;
}

}  // namespace qbrender
