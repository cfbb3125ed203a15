// The onnxruntime the engine is built against loads a graph and runs it.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <array>

#ifndef LE_TINY_MODEL
#error "LE_TINY_MODEL must name the generated model"
#endif

TEST(OnnxRuntime, RunsASmallGraph) {
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le_test");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, LE_TINY_MODEL, opts);
  ASSERT_EQ(session.GetInputCount(), 1u);
  ASSERT_EQ(session.GetOutputCount(), 1u);

  std::array<float, 4> x{0.f, 1.f, -2.5f, 1000.f};
  std::array<float, 4> y{};
  const std::array<int64_t, 2> shape{1, 4};
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), shape.data(), shape.size());
  Ort::Value out = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), shape.data(), shape.size());
  const char* inNames[] = {"x"};
  const char* outNames[] = {"y"};
  session.Run(Ort::RunOptions{nullptr}, inNames, &in, 1, outNames, &out, 1);
  EXPECT_EQ(y, (std::array<float, 4>{1.f, 3.f, -4.f, 2001.f}));
  EXPECT_NE(std::string(Ort::GetVersionString()), "");
}

TEST(OnnxRuntime, RefusesAMissingModel) {
  Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "le_test");
  Ort::SessionOptions opts;
  EXPECT_THROW(Ort::Session(env, "/nonexistent/model.onnx", opts), Ort::Exception);
}
