<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive инициализируется...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 инициализируется...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive готов к работе.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 готов к работе.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>Не удалось обновить %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 пока прекращает попытки установить это обновление</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 переместил мешавшие файлы</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Недостаточно свободного места на диске.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Ваша дисковая квота исчерпана.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Пакет обновления повреждён.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Мешают файлы другого пользователя.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Произошла непредвиденная ошибка.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Установленная версия продолжает работать.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Подробности: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Завершение установки... %1%</translation>
    </message>
</context>
</TS>
