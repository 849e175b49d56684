"""Fits the feature engineer on a real data set and shows the engineered matrix."""

from sklearn.datasets import load_wine

from tarvex.core.resmon import NeuralFeatureEngineer


def main() -> None:
    features = load_wine().data
    engineer = NeuralFeatureEngineer().fit(features)
    engineered = engineer.transform(features)
    print(f"wine features {features.shape} -> engineered {engineered.shape} ({engineered.dtype})")


if __name__ == "__main__":
    main()
