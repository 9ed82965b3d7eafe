"""A short tour of tarnwick: open engines, and see how bad configuration is reported."""

import pathlib
import tempfile

import tarnwick


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        config = root / "engine.toml"
        config.write_text('segment_size = 104857600\nstop_words = ["a", "an", "the"]\n')
        tarnwick.Search(root / "engine", config)
        print(f"opened an engine over {root / 'engine'} with {config.name}")

        config.write_text("segment_size = -1\n")
        try:
            tarnwick.Search(root / "engine", config)
        except Exception as error:  # TomlDeserializeException is not exported
            print(f"{type(error).__name__}:\n{error}")

        try:
            tarnwick.Search(root / "engine", root / "missing.toml")
        except FileNotFoundError as error:
            print(f"FileNotFoundError: {error}")


if __name__ == "__main__":
    main()
