import pytest


@pytest.fixture
def write_file(tmp_path):
    """write_file(name, data) writes bytes (or text, as UTF-8) to tmp_path/name and returns the path as str."""

    def write(name: str, data: bytes | str) -> str:
        path = tmp_path / name
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return str(path)

    return write
