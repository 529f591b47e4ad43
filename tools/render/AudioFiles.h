#pragma once
// Audio in and out as blocks of stereo doubles: files through libsndfile, and
// synthesized material held in memory.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace qbrender {

class StereoSource {
 public:
  virtual ~StereoSource() = default;
  virtual int64_t Frames() const = 0;
  virtual double SampleRate() const = 0;
  // The next n frames; silence once the material has ended. False, with the
  // reason, when reading failed.
  virtual bool Read(double* left, double* right, int n, std::string& error) = 0;
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual bool Write(const double* left, const double* right, int n, std::string& error) = 0;
};

// An input file. One channel plays on both sides; of more than two channels
// the first two are used.
class SoundFileSource final : public StereoSource {
 public:
  static std::unique_ptr<SoundFileSource> Open(const std::string& path, std::string& error);
  ~SoundFileSource() override;

  int64_t Frames() const override { return mFrames; }
  double SampleRate() const override { return mSampleRate; }
  bool Read(double* left, double* right, int n, std::string& error) override;
  int Channels() const { return mChannels; }
  const std::string& Path() const { return mPath; }

 private:
  SoundFileSource() = default;
  SNDFILE* mFile = nullptr;
  std::string mPath;
  int64_t mFrames = 0;
  int64_t mPosition = 0;
  double mSampleRate = 0.0;
  int mChannels = 0;
  std::vector<double> mInterleaved;
};

class BufferSource final : public StereoSource {
 public:
  BufferSource(std::vector<float> left, std::vector<float> right, double sampleRate);
  int64_t Frames() const override { return static_cast<int64_t>(mLeft.size()); }
  double SampleRate() const override { return mSampleRate; }
  bool Read(double* left, double* right, int n, std::string& error) override;

 private:
  std::vector<float> mLeft, mRight;
  double mSampleRate;
  size_t mPosition = 0;
};

// What a file name's extension asks for: .wav and .aif/.aiff as 32-bit
// float, .flac as 24-bit (clipped at full scale).
struct OutputType {
  int sndfileFormat = 0;
  bool integerSamples = false;
};
bool OutputTypeFor(const std::string& fileName, OutputType& type, std::string& error);

class SoundFileSink final : public FrameSink {
 public:
  // Writes a stereo file of this type into fd, which it takes over (and
  // closes, also on failure).
  static std::unique_ptr<SoundFileSink> OpenFd(int fd, const OutputType& type, double sampleRate, std::string& error);
  ~SoundFileSink() override;
  bool Write(const double* left, const double* right, int n, std::string& error) override;
  // Finishes the file (header and all). False on a write error.
  bool Close(std::string& error);

 private:
  SoundFileSink() = default;
  SNDFILE* mFile = nullptr;
  int mFd = -1;
  std::vector<double> mInterleaved;
};

// Writes the whole of source into sink, in blocks.
bool CopyAll(StereoSource& source, FrameSink& sink, std::string& error);

}  // namespace qbrender
