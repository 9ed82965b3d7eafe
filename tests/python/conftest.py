import pytest


@pytest.fixture
def write_config(tmp_path):
    """Writes a TOML text to a file and returns its path."""

    def write(text: str | bytes):
        path = tmp_path / "config.toml"
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text)
        return path

    return write
